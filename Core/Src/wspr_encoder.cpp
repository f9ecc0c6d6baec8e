#include "wspr_encoder.h"
