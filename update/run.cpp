#include "update/run.h"
