#include "console/DriveParameters.h"

#include "config/NumberText.h"

namespace vyt {

const std::array<DriveParameter, kDriveParameterCount> kDriveParameters = {{
    {"SP", "GSP", "SP ", "txtSP", "txtMaximaldrehzahl", &PumpSettings::Maximaldrehzahl,
     "Max. velocity [rpm]"},
    {"AC", "GAC", "AC ", "txtAC", "txtBeschleunigung", &PumpSettings::Beschleunigung,
     "Acceleration [rev./s²]"},
    {"LCC", "GCC", "LCC ", "txtLCC", "txtDauerstrom", &PumpSettings::Dauerstrom,
     "Max. cont. current [mA]"},
    {"LPC", "GPC", "LPC ", "txtLPC", "txtSpitzenstrom", &PumpSettings::Spitzenstrom,
     "Max. peak current [mA]"},
}};

DriveValues mainWindowValues(const PumpState &state)
{
    DriveValues values;
    for (int i = 0; i < kDriveParameterCount; ++i)
        values[i] = storeForm(state.settings.*kDriveParameters[i].setting);
    return values;
}

bool sameValue(const QString &a, const QString &b)
{
    const auto x = readNumber(a, QLocale::c());
    const auto y = readNumber(b, QLocale::c());
    if (x && y)
        return *x == *y;
    return a.trimmed() == b.trimmed();
}

} // namespace vyt
