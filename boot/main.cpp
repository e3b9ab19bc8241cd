#include "boot/boot.h"

// Arguments are ignored: the loader's behaviour comes from the board alone.
int main() { return loader_main(); }
