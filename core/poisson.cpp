#include "poisson.hpp"
namespace varnel_core {
}
