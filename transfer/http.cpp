#include "transfer/http.h"
