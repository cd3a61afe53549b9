#include "block_builder.h"
