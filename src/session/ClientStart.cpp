#include "session/ClientStart.h"

#include "link/ControllerLink.h"
#include "session/Method.h"
#include "session/MethodRun.h"
#include "session/ProgramEnd.h"
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

ClientRefusal whyNotStarted(Session &session, const std::optional<PumpRun::Refusal> &refusal)
{
    using Kind = ClientRefusal::Kind;
    if (refusal)
        return {Kind::Invalid, refusal->field, refusal->message};
    if (programEnding())
        return {Kind::Busy, {}, Session::tr("The program is ending.")};
    // A stop may have dropped the question itself: the stop is what ended the start.
    if (session.state().Abbruch)
        return {Kind::Busy, {},
                Session::tr("Stop was pressed while the controller was asked; nothing was started.")};
    if (session.state().KeineAntwort)
        return {Kind::NoAnswer, {}, session.link().silenceMessage()};
    return {Kind::Busy, {}, Session::tr("The run did not start.")};
}

std::optional<ClientRefusal> startClientMethod(Session &session, const QByteArray &document,
                                               const QString &client)
{
    using Kind = ClientRefusal::Kind;
    const auto stepField = [](const QString &step) {
        return step.isEmpty() ? QString() : QStringLiteral("step ") + step;
    };
    MethodError error;
    const auto method = parseMethod(document, &error);
    if (!method)
        return ClientRefusal{Kind::Invalid, stepField(error.step), error.text()};
    if (const auto typing = session.entryBeingTyped())
        return ClientRefusal{Kind::Busy, typing->field,
                             Session::tr("The operator is typing in %1.").arg(typing->field)};
    const auto refused = session.methods().start(*method, MethodRun::Starter::Remote, client);
    if (!refused)
        return std::nullopt;
    // A refused step is the document's fault; anything else is the pump's state now.
    if (refused->step.isEmpty() && refused->message == session.busyReason())
        return ClientRefusal{Kind::Busy, {}, refused->message};
    return ClientRefusal{Kind::Invalid, stepField(refused->step), refused->text()};
}

} // namespace vyt
