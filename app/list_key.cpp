// Alone in its translation unit: each launcher executable compiles it with its own key,
// so a test launcher gets a test key from the same build tree.
#include "app/list_key.h"

const char kBuiltListKey[] = TARSIN_LIST_PUBLIC_KEY;
