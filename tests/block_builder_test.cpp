#include <gtest/gtest.h>

#include "block_builder.h"
