#pragma once
// The test store, without widgets: for the tests of the session core too.
#include <QString>

namespace vyt::test {

// Test-mode settings (~/.qttest/config/vyt/vyt.conf), emptied.
void useEmptyStore();
// Maps "Com" port to a device in the test store.
void mapPort(int port, const QString &device);

} // namespace vyt::test
