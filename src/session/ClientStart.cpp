#include "session/ClientStart.h"

#include "session/PumpRun.h"
#include "session/Session.h"

namespace vyt {

std::optional<ClientRefusal> checkClientOrder(const Session &session, const RunOrder &order,
                                              PumpState *after)
{
    using Kind = ClientRefusal::Kind;
    // An entry the operator is typing is the operator's, accepted or not: a client's start
    // would overwrite it and take the focus from under the operator's keys.
    if (const auto typing = session.entryBeingTyped())
        return ClientRefusal{Kind::Busy, typing->field,
                             Session::tr("The operator is typing in %1.").arg(typing->field)};
    if (const auto pending = session.pendingEntry())
        return ClientRefusal{
            Kind::Busy, pending->field,
            Session::tr("The entry in %1 would be refused: %2").arg(pending->field, pending->message)};
    if (const auto refused = refusedEntry(order, session.state()))
        return ClientRefusal{Kind::Invalid, refused->field, refused->message};
    *after = withOrder(order, session.state());
    if (const auto refused = PumpRun::startRefusal(*after))
        return ClientRefusal{Kind::Invalid, refused->field, refused->message};
    return std::nullopt;
}

} // namespace vyt
