#include "binomial.hpp"
namespace varnel_core {
}
