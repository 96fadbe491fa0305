#include "transfer/sha256.h"
