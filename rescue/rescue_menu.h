#pragma once

int rescue_menu();
