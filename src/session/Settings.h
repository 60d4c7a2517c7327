#pragma once
// Loading and saving the operator's settings: one section per port ("COM1" ...),
// the port record in "Schnittstelle". Every value is text in the program's number form.
#include "config/PumpState.h"

#include <QSettings>
#include <QString>
#include <initializer_list>

namespace vyt {

[[nodiscard]] QString sectionFor(int port); // "COM3"

// The stored port number (section "Schnittstelle", key "COM"), default 1.
[[nodiscard]] qint16 gespeicherteSchnittstelle(QSettings &store);

// Loads the named keys of the port's section into s, each with its default when the key
// is missing or holds no number (shorts round halves to even into 16 bits).
void ladeEinstellungen(QSettings &store, int port, PumpSettings &s,
                       std::initializer_list<const char *> keys);

// The stored text of a key of the port's section read as a number, if it is one.
[[nodiscard]] std::optional<double> gespeicherteZahl(QSettings &store, int port, const char *key);

// Writes the port record and all keys of the port's section in the save order.
// An unreadable store file is moved aside first (prepareStoreForWriting). Answers false
// with a reason in plain words when the store could not be written.
[[nodiscard]] bool speichereEinstellungen(QSettings &store, int port, const PumpSettings &s,
                                          QString *fehler);

// PauseSekunden / DauerSekunden from the value and its unit; unchanged for an unknown unit.
void leitePauseAb(PumpSettings &s);
void leiteDauerAb(PumpSettings &s);

} // namespace vyt
