#include "session/ProgramEnd.h"

#include "session/Wait.h"

#include <QCoreApplication>

namespace vyt {
namespace {

struct EndState {
    EndHandler handler;
    std::function<void()> beforeExit;
    bool ending = false;
};

EndState &endState()
{
    static EndState s;
    return s;
}

} // namespace

void endProgram(int code)
{
    EndState &s = endState();
    s.ending = true;
    if (s.handler) {
        s.handler(code);
    } else {
        if (s.beforeExit)
            s.beforeExit();
        QCoreApplication::exit(code);
    }
}

bool programEnding() { return endState().ending; }

void setEndHandler(EndHandler handler)
{
    endState().handler = std::move(handler);
    endState().ending = false;
}

void setBeforeExit(std::function<void()> hook)
{
    endState().beforeExit = std::move(hook);
}

} // namespace vyt
