#include "app/worker.h"
