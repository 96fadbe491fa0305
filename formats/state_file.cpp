#include "formats/state_file.h"
