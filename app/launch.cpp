#include "app/launch.h"
