#include "update/install.h"
