#include "textmode.h"

#include <fcntl.h>

const int TextModeOpenFlag = O_TEXT;
