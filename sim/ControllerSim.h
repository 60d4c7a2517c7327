#pragma once
// Placeholder; the simulator lands with its own commit.
#include <QObject>
namespace vyt::sim {
class ControllerSim : public QObject {
    Q_OBJECT
};
} // namespace vyt::sim
