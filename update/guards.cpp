#include "update/guards.h"
