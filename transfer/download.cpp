#include "transfer/download.h"
