#include "EarlyTerminate.h"

EarlyTerminate TERMINATE_STATE;
