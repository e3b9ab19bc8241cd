# The two public keys built into the loader: checked here, so a wrong file stops
# the configure step instead of producing a loader that rejects every image.
set(IMGL_TEST_KEYS_DIR ${CMAKE_SOURCE_DIR}/keys/test)
set(IMGL_PRODUCTION_KEY ${IMGL_TEST_KEYS_DIR}/production.pub.pem
    CACHE FILEPATH "Production public key (PEM SubjectPublicKeyInfo, RSA-2048)")
set(IMGL_DEVELOPMENT_KEY ${IMGL_TEST_KEYS_DIR}/development.pub.pem
    CACHE FILEPATH "Development public key (PEM SubjectPublicKeyInfo, RSA-2048)")

find_program(IMGL_OPENSSL openssl)

# Reads the key file named by the cache variable var and sets out to its text
# as C string literal lines.
function(imgl_builtin_key var out)
  set(file ${${var}})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${var}: no such file: ${file}")
  endif()
  file(READ ${file} text)
  string(LENGTH "${text}" length)
  if(NOT length EQUAL 451)
    message(FATAL_ERROR "${var}: ${file} has ${length} characters; an RSA-2048 public key PEM has 451")
  endif()
  if(NOT text MATCHES "^-----BEGIN PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+\n-----END PUBLIC KEY-----\n$")
    message(FATAL_ERROR "${var}: ${file} is not a PEM public key (BEGIN/END PUBLIC KEY lines)")
  endif()
  if(IMGL_OPENSSL)
    execute_process(COMMAND ${IMGL_OPENSSL} pkey -pubin -noout -in ${file}
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${var}: ${file} does not parse as a public key")
    endif()
  endif()
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  string(REPLACE "\n" "\\n\"\n    \"" lines "${text}")
  string(REGEX REPLACE "\n    \"$" "" lines "${lines}")
  set(${out} "    \"${lines}" PARENT_SCOPE)
endfunction()

imgl_builtin_key(IMGL_PRODUCTION_KEY IMGL_PRODUCTION_KEY_LINES)
imgl_builtin_key(IMGL_DEVELOPMENT_KEY IMGL_DEVELOPMENT_KEY_LINES)

get_filename_component(prodDir ${IMGL_PRODUCTION_KEY} DIRECTORY)
get_filename_component(devDir ${IMGL_DEVELOPMENT_KEY} DIRECTORY)
if(prodDir STREQUAL IMGL_TEST_KEYS_DIR OR devDir STREQUAL IMGL_TEST_KEYS_DIR)
  message(WARNING "Built-in keys come from keys/test: their private halves are public. "
                  "This build is for tests and the simulated board only and must not be shipped.")
endif()

set(IMGL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(CONFIGURE OUTPUT ${IMGL_GENERATED_DIR}/security/builtin_keys.h @ONLY CONTENT
"// Generated from IMGL_PRODUCTION_KEY and IMGL_DEVELOPMENT_KEY; do not edit.
#pragma once

inline constexpr char BUILTIN_PRODUCTION_KEY[] =
@IMGL_PRODUCTION_KEY_LINES@;

inline constexpr char BUILTIN_DEVELOPMENT_KEY[] =
@IMGL_DEVELOPMENT_KEY_LINES@;
")
