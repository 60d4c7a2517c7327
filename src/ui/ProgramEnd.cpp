#include "ui/ProgramEnd.h"

#include "ui/Wait.h"

#include <QApplication>
#include <QWidget>

namespace vyt {
namespace {

struct EndState {
    EndHandler handler;
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
        QApplication::closeAllWindows();
        QCoreApplication::exit(code);
    }
    Wakeup::poke();
}

bool programEnding() { return endState().ending; }

void setEndHandler(EndHandler handler)
{
    endState().handler = std::move(handler);
    endState().ending = false;
}

} // namespace vyt
