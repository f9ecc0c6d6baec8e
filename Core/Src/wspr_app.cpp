#include "wspr_app.h"
