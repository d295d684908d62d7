// The bilingual message catalogue. Texts are printed byte for byte as stored here: trailing
// blanks separate a text from the value printed after it, and message 10 (Done) is padded to 24
// characters so that it overwrites a progress line ended by a carriage return. Beside it the
// hint lines that follow a failure line.
#include "common/messages.h"

#include "common/settings.h"

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

const std::array<const char*, 2 * static_cast<std::size_t>(HintCount)> HintCatalog{
    // ---- English ------------------------------------------------------------------------
    "Port %d (%s)",
    "none (is the adapter plugged in?)",
    "Set %s to the adapter's device; serial devices present: %s.",
    "%s is not set, so the default is used; set it to the adapter's device; serial devices "
    "present: %s.",
    "%s names something that is not a serial port; set it to the adapter's device; serial "
    "devices present: %s.",
    "No such COM port: Device Manager, \"Ports (COM & LPT)\", shows the adapter's port; give it "
    "one of the numbers COM1 to COM4.",
    "The device belongs to the group %s, and this user is not in it: sudo usermod -aG %s $USER, "
    "then log in again.",
    "The device belongs to %s and the group %s with mode %s (ls -l %s), which does not let "
    "this user read and write it: an administrator must grant access, by a udev rule or the "
    "group that the distribution uses for serial ports.",
    "This user may not open the device (ls -l %s shows who may).",
    "Another program holds the port (another update, a terminal program, a modem manager): end "
    "it, then start again.",
    "the device is gone: the adapter was pulled out or lost its power. Plug it in, switch the "
    "box off and on, and start again.",
    "the port's write limit expired: the bytes could not go out in time. The hardware handshake "
    "holds the line: switch the box on, and use a cable that carries RTS and CTS.",
    "the port's driver refused the request.",
    "the access keyword did not go out within a second: the hardware handshake held it back. "
    "Switch the box on, and use a cable that carries RTS and CTS.",
    "the port number is outside 1 to 4.",
    "10 KB came from the box without the awaited text: the box runs its normal software instead "
    "of its bootloader, or the speed does not match.",
    "a time limit passed: the box did not answer in time.",
    "the image could not be compressed.",
    "the box reported a transfer, erase or programming error.",
    "the box's flash ids do not match the image.",
    "the image cannot be put into the prefix code.",
    "the box reported an error (its \"ERROR:\" text is above).",
    "the box stopped the transfer (\"STOP\").",
    "This program carries the stand-in hyper bootloader, which cannot start a real box: build it "
    "with -DHYPER_BOOTLOADER_FILE=<the box maker's file> (README, \"The hyper bootloader\").",
    "Options go before the image name, and nothing may follow it; found after it:",
    "%s: there is no such file.",
    "%s: the file is empty.",
    "%s: the file ends before its length field says it should: it was cut short, or it is not "
    "a PAD image.",
    "%s is a directory, not an image file.",
    "%s is not a regular file (a FIFO, a device or a socket): name the image file itself.",
    "%s cannot be read: %s.",
    "%s: the checksum at its end does not match the payload: the file is damaged.",
    "%s: its sizes leave a tag of neither 0, 1 nor 5 bytes: it is not a PAD image, or bytes "
    "were added or lost.",
    "%s is 4 GiB or larger.",
    "the box did not answer in 16 tries of 15 s: switch it on into its bootloader, and check "
    "the port and the cable (null-modem or straight).",
    "The port is given as -p 1 to -p 4; COM1 to COM4 name the devices, for example "
    "COM2=/dev/ttyUSB0.",
    "The port is given as -p 1 to -p 4; Device Manager, \"Ports (COM & LPT)\", can give the "
    "adapter's port one of the numbers COM1 to COM4.",
    "UPDATE_TRACE %s is the image file; the update runs without a line trace.",
    "UPDATE_LOG %s is the image file; the update runs without a production log.",
    "UPDATE_LOG %s is the line trace's file; the update runs without a production log.",
    "UPDATE_TRACE %s is the production log's file; the update runs without a line trace.",
    "%s is the file hyper.pad of the working directory, which the update writes and deletes: "
    "copy the image to another name, or start in another directory.",
    "%s is also open in: %s. Such a program takes the box's answers; end it if the update "
    "waits.",
    "Port %d stands for %s, the machine's own serial port, since %s is not set; for an adapter "
    "set %s to its device.",
    "Stopped between boxes: the last box was updated, and no update was running.",
    // ---- German -------------------------------------------------------------------------
    "Schnittstelle %d (%s)",
    "keine (ist der Adapter eingesteckt?)",
    "Setzen Sie %s auf das Geraet des Adapters; vorhandene serielle Geraete: %s.",
    "%s ist nicht gesetzt, daher gilt die Vorgabe; setzen Sie es auf das Geraet des Adapters; "
    "vorhandene serielle Geraete: %s.",
    "%s nennt keine serielle Schnittstelle; setzen Sie es auf das Geraet des Adapters; "
    "vorhandene serielle Geraete: %s.",
    "Keine solche COM-Schnittstelle: Der Geraete-Manager zeigt unter \"Anschluesse (COM & LPT)\" "
    "die Schnittstelle des Adapters; geben Sie ihr eine der Nummern COM1 bis COM4.",
    "Das Geraet gehoert der Gruppe %s, und dieser Benutzer ist nicht darin: sudo usermod -aG %s "
    "$USER, danach neu anmelden.",
    "Das Geraet gehoert %s und der Gruppe %s mit Modus %s (ls -l %s), was diesem Benutzer kein "
    "Lesen und Schreiben erlaubt: ein Administrator muss den Zugriff gewaehren, durch eine "
    "udev-Regel oder die Gruppe, die die Distribution fuer serielle Schnittstellen verwendet.",
    "Dieser Benutzer darf das Geraet nicht oeffnen (ls -l %s zeigt, wer es darf).",
    "Ein anderes Programm belegt die Schnittstelle (ein weiteres update, ein Terminalprogramm, "
    "ein Modem-Manager): beenden Sie es, dann erneut starten.",
    "das Geraet ist weg: der Adapter wurde abgezogen oder hat keinen Strom mehr. Einstecken, die "
    "Box aus- und einschalten und erneut starten.",
    "die Schreibfrist der Schnittstelle ist abgelaufen: die Bytes konnten nicht rechtzeitig "
    "hinaus. Der Hardware-Handshake haelt die Leitung an: die Box einschalten und ein Kabel mit "
    "RTS und CTS verwenden.",
    "der Treiber der Schnittstelle hat die Anforderung abgelehnt.",
    "das Zugangswort ging nicht innerhalb einer Sekunde hinaus: der Hardware-Handshake hielt es "
    "zurueck. Die Box einschalten und ein Kabel mit RTS und CTS verwenden.",
    "die Nummer der Schnittstelle liegt nicht zwischen 1 und 4.",
    "10 KB kamen von der Box ohne den erwarteten Text: die Box laeuft mit ihrer normalen "
    "Software statt mit dem Bootloader, oder die Geschwindigkeit passt nicht.",
    "eine Frist ist abgelaufen: die Box hat nicht rechtzeitig geantwortet.",
    "die Datei konnte nicht komprimiert werden.",
    "die Box meldete einen Fehler beim Uebertragen, Loeschen oder Programmieren.",
    "die Flash-IDs der Box passen nicht zur Datei.",
    "die Datei laesst sich nicht in den Praefixcode bringen.",
    "die Box meldete einen Fehler (ihr \"ERROR:\"-Text steht oben).",
    "die Box hat die Uebertragung angehalten (\"STOP\").",
    "Dieses Programm enthaelt den Ersatz fuer den Hyper Bootloader, der keine echte Box starten "
    "kann: bauen Sie es mit -DHYPER_BOOTLOADER_FILE=<Datei des Boxherstellers> (README, \"The "
    "hyper bootloader\").",
    "Optionen stehen vor dem Dateinamen, und danach darf nichts folgen; dahinter steht:",
    "%s: Diese Datei gibt es nicht.",
    "%s: Die Datei ist leer.",
    "%s: Die Datei endet vor dem, was ihr Laengenfeld angibt: sie wurde abgeschnitten, oder sie "
    "ist keine PAD-Datei.",
    "%s ist ein Verzeichnis, keine Datei.",
    "%s ist keine gewoehnliche Datei (ein FIFO, ein Geraet oder ein Socket): nennen Sie die "
    "Datei selbst.",
    "%s kann nicht gelesen werden: %s.",
    "%s: Die Pruefsumme am Ende passt nicht zu den Daten: die Datei ist beschaedigt.",
    "%s: Aus den Groessen ergibt sich ein Kennfeld von weder 0, 1 noch 5 Bytes: keine PAD-Datei, "
    "oder es kamen Bytes hinzu oder fehlen.",
    "%s ist 4 GiB gross oder groesser.",
    "die Box hat in 16 Versuchen zu je 15 s nicht geantwortet: schalten Sie sie in ihren "
    "Bootloader ein und pruefen Sie Schnittstelle und Kabel (Nullmodem oder gerade).",
    "Die Schnittstelle wird mit -p 1 bis -p 4 angegeben; COM1 bis COM4 nennen die Geraete, zum "
    "Beispiel COM2=/dev/ttyUSB0.",
    "Die Schnittstelle wird mit -p 1 bis -p 4 angegeben; der Geraete-Manager kann der "
    "Schnittstelle des Adapters unter \"Anschluesse (COM & LPT)\" eine der Nummern COM1 bis "
    "COM4 geben.",
    "UPDATE_TRACE %s ist die PAD-Datei; die Aktualisierung laeuft ohne "
    "Leitungsprotokoll.",
    "UPDATE_LOG %s ist die PAD-Datei; die Aktualisierung laeuft ohne "
    "Produktionsprotokoll.",
    "UPDATE_LOG %s ist die Datei des Leitungsprotokolls; die Aktualisierung laeuft ohne "
    "Produktionsprotokoll.",
    "UPDATE_TRACE %s ist die Datei des Produktionsprotokolls; die Aktualisierung laeuft ohne "
    "Leitungsprotokoll.",
    "%s ist die Datei hyper.pad des Arbeitsverzeichnisses, die die Aktualisierung schreibt und "
    "loescht: kopieren Sie die PAD-Datei unter einen anderen Namen, oder starten Sie in einem "
    "anderen Verzeichnis.",
    "%s ist auch geoeffnet in: %s. Ein solches Programm nimmt die Antworten der Box weg; beenden "
    "Sie es, wenn die Aktualisierung wartet.",
    "Schnittstelle %d steht fuer %s, die eingebaute serielle Schnittstelle, da %s nicht gesetzt "
    "ist; fuer einen Adapter %s auf dessen Geraet setzen.",
    "Zwischen zwei Boxen beendet: die letzte Box wurde aktualisiert, und keine Aktualisierung "
    "lief.",
};

const char* hintText(Hint hint) {
    const int number = static_cast<int>(hint);
    if (number < 0 || number >= HintCount) {
        return "";
    }
    const std::size_t row = (language == 1) ? 1 : 0;
    return HintCatalog[row * static_cast<std::size_t>(HintCount) +
                       static_cast<std::size_t>(number)];
}
