#include "transfer/progress.h"
