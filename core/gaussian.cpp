#include "gaussian.hpp"
namespace varnel_core {
}
