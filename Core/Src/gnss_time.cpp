#include "gnss_time.h"
