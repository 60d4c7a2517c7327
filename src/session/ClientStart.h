#pragma once
// The checks an order from another program passes before it starts, the same for every
// client (remote control, SiLA 2): nothing the operator is doing is overwritten, and the
// values pass the fields' and Start's own checks.
#include "config/PumpState.h"
#include "session/PumpRun.h"
#include "session/RunOrder.h"

#include <QString>
#include <optional>

namespace vyt {

class Session;

struct ClientRefusal {
    // Busy: the pump's state now (try again later); Invalid: the order itself; NoAnswer:
    // the controller did not answer before the run.
    enum class Kind { Busy, Invalid, NoAnswer };
    Kind kind = Kind::Invalid;
    QString field; // a control's objectName, "step 3.1" of a method, or empty
    QString message;
};

// Why the order may not start now; nullopt when it may, with *after the settings it gives.
[[nodiscard]] std::optional<ClientRefusal> checkClientOrder(const Session &session,
                                                            const RunOrder &order,
                                                            PumpState *after);

// Why a client's start that the session took did not begin: the run's own refusal, or
// the program's end, a Stop meanwhile, a silent controller.
[[nodiscard]] ClientRefusal whyNotStarted(Session &session,
                                          const std::optional<PumpRun::Refusal> &refusal);

// Reads a client's method document and starts it on the session; nullopt when it started.
[[nodiscard]] std::optional<ClientRefusal> startClientMethod(Session &session,
                                                             const QByteArray &document,
                                                             const QString &client);

} // namespace vyt
