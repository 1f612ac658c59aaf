#include "apps/kivcast/RunOptions.h"

int runFlow(const RunOptions&)
{
    return 1;
}
