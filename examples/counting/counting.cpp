#include "counting.hpp"

namespace examples::counting {

VESK_REGISTER_HANDLER(KeyCounter);
VESK_REGISTER_HANDLER(OffsetLog);

}  // namespace examples::counting
