// The bilingual message catalogue. Texts are printed byte for byte as stored here: trailing
// blanks separate a text from the value printed after it, and message 10 (Done) is padded to 24
// characters so that it overwrites a progress line ended by a carriage return.
#include "frontend/messages.h"

#include "frontend/settings.h"

const std::array<const char*, 2 * static_cast<std::size_t>(MessageCount)> MessageCatalog{
    // ---- English ------------------------------------------------------------------------
    "Invalid Port:",                                                         // 0
    "is an invalid option",                                                  // 1
    "Checking file ...",                                                     // 2
    " failed. Abort!",                                                       // 3
    " OK",                                                                   // 4
    "Inititialization of COM-port failed (Error: ",                          // 5
    "Inititialization of COM-port to send slow keyword failed (Error: ",     // 6
    "Cannot connect to bootloader over COM-port ",                           // 7
    "WriteFile error ",                                                      // 8
    "ReInititialization of COM-port to send slow keyword failed (Error: ",   // 9
    "Done!                   ",                                              // 10
    "Programming the flash memory...",                                       // 11
    "Start download ...",                                                    // 12
    "WaitFor error ",                                                        // 13
    "Flash's manufacturer and/or device ids dont match!",                    // 14
    "Error ",                                                                // 15
    "Error(s) during erasing, programming or transfering. Abort!",           // 16
    "Fatal error, settop box does not respond. Abort!",                      // 17
    "Fatal error ",                                                          // 18
    "Erasing flash memory ",                                                 // 19
    "Download hyper bootloader...",                                          // 20
    "Access to bootloader version: ",                                        // 21
    "Please be patient and wait for update to be finished (about 15min)\n",  // 22
    "Compressing file ...",                                                  // 23
    "Cannot create hyper bootloader file, try to restart!",                  // 24
    "Time out ",                                                             // 25
    "Access to bootloader failed ",                                          // 26
    "Bootloader version not supported: ",                                    // 27
    "error connecting...",                                                   // 28
    "error opening and reading file",                                        // 29
    "error accessing bootloader",                                            // 30
    "error getting bootloader version",                                      // 31
    "error -> wrong hardware IDs ",                                          // 32
    "error updating image",                                                  // 33
    "unsupported software id -> exit",                                       // 34
    "bootloader accessed, check version",                                    // 35
    "invalid flash application",                                             // 36
    "invalid factory settings",                                              // 37
    "Error, wrong image parameter",                                          // 38
    "sending flashimage",                                                    // 39
    "sending factory settings",                                              // 40
    " no errors\nerasing flash, please wait... ",                            // 41
    "Error erasing flash -> exit",                                           // 42
    "Error writing image -> exit",                                           // 43
    "ready.",                                                                // 44
    "no errors\nflashing image, please wait... ",                            // 45
    "Download successfully finished. (com port:",                            // 46
    "transfered",                                                            // 47
    "Message from the box: ",                                                // 48
    "Filelength exceeds maximum length (compressed size",                    // 49
    "This program supports the following bootloader versions: ",             // 50
    "This PAD-file must be transmitted via the parallel port ",              // 51
    "Bad Syntax of parameter: ",                                             // 52
    "Cannot connect to loader over COM-port, still trying. ",                // 53
    "Cannot send data to box, still trying.",                                // 54
    "Problem while downloading data, trying to correct:",                    // 55
    // ---- German -------------------------------------------------------------------------
    "Falsche serielle Schnittstelle ausgewaehlt:",                                     // 0
    "ist ein ungueltiger Parameter",                                                   // 1
    "Datei pruefen ...",                                                               // 2
    " fehlerhaft. Programmende!",                                                      // 3
    " OK",                                                                             // 4
    "Initialisierung der seriellen Schnittstelle fehlgeschlagen (Fehler: ",            // 5
    "Initialisierung der seriellen Schnittstelle (langsam) fehlgeschlagen (Fehler: ",  // 6
    "Keine Verbindung ueber die serielle Schnittstelle zur Box ",                      // 7
    "Fehler in Funktion WriteFile() ",                                                 // 8
    "Initialisierung der seriellen Schnittstelle (schnell) fehlgeschlagen (Fehler: ",  // 9
    "Fertig!                 ",                                                        // 10
    "Flash programmieren ...",                                                         // 11
    "Uebertragung starten ...",                                                        // 12
    "Fehler in Funktion WaitFor() ",                                                   // 13
    "Flash Hersteller und/oder Flash ID stimmen nicht ueberein",                       // 14
    "Fehler ",                                                                         // 15
    "Fehler waehrend Loeschvorgang, Programmierung oder Transfer. Ende !",             // 16
    "Schwerer Fehler, Box antwortet nicht. Ende !",                                    // 17
    "Schwerer Fehler ",                                                                // 18
    "Flash loeschen ",                                                                 // 19
    "Hyper Bootloader uebertragen ",                                                   // 20
    "Zugriff auf Bootloader Version: ",                                                // 21
    "Bitte warten Sie auf das Ende des Aktualisierungsvorganges (ca. 15min)",          // 22
    "Datei wird komprimiert ... ",                                                     // 23
    "Hyper Bootloader kann nicht erzeugt werden, Box wird erneut gestartet ",          // 24
    "Zeitueberschreitung ",                                                            // 25
    "Kein Zugriff auf Bootloader ",                                                    // 26
    "Bootloader Version wird nicht unterstuetzt: ",                                    // 27
    "Fehler beim Verbindungsaufbau ...",                                               // 28
    "Fehler beim Oeffnen (Lesen) des Files",                                           // 29
    "Fehler: Bootloader reagiert nicht",                                               // 30
    "Fehler: Konnte Bootloader Version nicht ermitteln",                               // 31
    "Fehler: Falsche Hardware Version ",                                               // 32
    "Fehler beim Updaten der Software",                                                // 33
    "Fehler: Falsche Software ID ",                                                    // 34
    "Bootloader gefunden, pruefe Version",                                             // 35
    "Fehler: Falsche oder fehlerhafte Software.",                                      // 36
    "Fehler: Werkseinstellung wurde nicht akzeptiert.",                                // 37
    "Fehler: Unzulaessiger Parameter",                                                 // 38
    "Sende Software zur STB",                                                          // 39
    "Sende neue Werkseinstellung zur STB",                                             // 40
    "kein Fehler\nloesche Flash, bitte warten... ",                                    // 41
    "Fehler beim Loeschen des Flashs -> exit",                                         // 42
    "Fehler beim Schreiben der Daten -> exit",                                         // 43
    "Fertig!",                                                                         // 44
    "kein Fehler\nschreibe Daten, bitte warten... ",                                   // 45
    "Uebertragung erfolgreich beendet (Schnittstelle: ",                               // 46
    "uebertragen",                                                                     // 47
    "Nachricht aus der Box ",                                                          // 48
    "Das zu uebertragende File ist zu gross (komprimierte Groesse=",                   // 49
    "Diese Programm unterstuetzt die folgenden Bootloader Versionen: ",                // 50
    "Das PAD-File ist fuer die Uebertragung im parallelen Modus formatiert ",          // 51
    "Die Syntax des Parameters ist falsch: ",                                          // 52
    "Keine Verbindung ueber die serielle Schnittstelle zur Box. Es folgen weitere "
    "Versuche. ",                                                                         // 53
    "Es koennen keine Daten mehr zu Box geschickt werden. Es folgen weitere Versuche. ",  // 54
    "Problem bei der Aktualisierung, Versuche Korrektur: ",                               // 55
};

const char* messageText(Message message) {
    // A value outside the catalogue (a programming error) yields an empty text rather than
    // a read outside the table.
    const int number = static_cast<int>(message);
    if (number < 0 || number >= MessageCount) {
        return "";
    }
    const std::size_t row = (language == 1) ? 1 : 0;
    return MessageCatalog[row * static_cast<std::size_t>(MessageCount) +
                          static_cast<std::size_t>(number)];
}

namespace {

// English, German.
constexpr std::array<const char*, 2> InterruptedNotice{
    "Update interrupted. Switch the box off and on again before the next attempt.",
    "Aktualisierung abgebrochen. Die Box vor dem naechsten Versuch aus- und wieder einschalten.",
};

}  // namespace

const char* interruptedText() {
    return InterruptedNotice[language == 1 ? 1 : 0];
}
