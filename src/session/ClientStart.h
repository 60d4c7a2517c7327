#pragma once
// The checks an order from another program passes before it starts, the same for every
// client (remote control, SiLA 2): nothing the operator is doing is overwritten, and the
// values pass the fields' and Start's own checks.
#include "config/PumpState.h"
#include "session/RunOrder.h"

#include <QString>
#include <optional>

namespace vyt {

class Session;

struct ClientRefusal {
    // Busy: the pump's state now (try again later); Invalid: the order itself.
    enum class Kind { Busy, Invalid };
    Kind kind = Kind::Invalid;
    QString field; // a control's objectName, or empty
    QString message;
};

// Why the order may not start now; nullopt when it may, with *after the settings it gives.
[[nodiscard]] std::optional<ClientRefusal> checkClientOrder(const Session &session,
                                                            const RunOrder &order,
                                                            PumpState *after);

} // namespace vyt
