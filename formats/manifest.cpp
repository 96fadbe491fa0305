#include "formats/manifest.h"
