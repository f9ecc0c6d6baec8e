#include "si5351.h"
