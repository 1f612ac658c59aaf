#include "apps/kivcast/MeterData.h"
