#include "formats/lines.h"
