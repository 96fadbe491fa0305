#include "update/plan.h"
