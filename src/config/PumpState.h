#pragma once
// What the program knows while it runs: the persisted settings (named after their
// keys), the catalog bounds, the drive values and the shared flags. The main window
// owns one and hands a reference to the console and the dialogs.
#include <QString>
#include <QtGlobal>

namespace vyt {

struct PumpSettings {
    qint16 Pumpentyp = 0;
    float Dichte = 1;
    float Kalibrierfaktor = 1;
    qint16 Betriebsart = 1;
    float Menge = 100;
    qint16 Mengeneinheit = 0;
    float Pause = 100;
    float Pauseeinheit = 0;
    qint32 Wiederholung = 1;
    float Foerderstrom = 5;
    qint16 Foerderstromeinheit = 0;
    float Dauer = 2;
    float Dauereinheit = 1;
    qint16 Encodertyp = 0;
    qint16 Getriebetyp = 0;
    float Beschleunigung = 500;
    float Maximaldrehzahl = 6000;
    float Dauerstrom = 230;
    float Spitzenstrom = 400;
    float Left = 0; // twips
    float Top = 0;  // twips

    // Derived, never stored.
    float PauseSekunden = 0;
    float DauerSekunden = 0;
};

constexpr qint32 kEndlessRepetitions = 2147483647;

struct PumpState {
    qint16 Schnittstelle = 1; // COM port number, 1 to 12
    PumpSettings settings;

    // Catalog values of the type in force, never stored.
    float Verdraengungsvolumen = 0;
    float DrehzahlMin = 1;
    float DrehzahlMax = 6000;
    float StromMin = 100;
    float DauerstromMax = 300;
    float SpitzenstromMax = 400;

    // Drive values derived from the encoder and gear choice.
    float Encoderaufloesung = 16;
    float Getriebeuntersetzung = 1;

    // Shared flags.
    bool SchnittstelleOffen = false;
    bool KeineAntwort = true;
    bool PositionErreicht = false;
    bool ParameterGeaendert = true;
    bool Abbruch = false;

    QString FehlerTitel = QStringLiteral("Error");
};

} // namespace vyt
