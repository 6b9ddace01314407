#include "pyconv.hpp"
