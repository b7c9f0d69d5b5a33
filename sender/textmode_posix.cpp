#include "textmode.h"

const int TextModeOpenFlag = 0;
