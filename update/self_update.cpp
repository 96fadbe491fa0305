#include "update/self_update.h"
