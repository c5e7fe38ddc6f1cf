<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Hoistly</name>
    <message>
        <source>This is a test phrase, and should appear in ALL CAPITAL LETTERS.</source>
        <translation>THIS IS A TEST PHRASE, AND SHOULD APPEAR IN ALL CAPITAL LETTERS.</translation>
    </message>
    <message>
        <source>Bring all your photos to the Lumora cloud.</source>
        <translation>Bringen Sie wirklich alle Ihre Fotos und Videos sicher in die Lumora-Wolke, jetzt und für immer.</translation>
    </message>
    <message>
        <source>UPLOAD AUTOMATICALLY FROM</source>
        <translation>AUTOMATISCH UND OHNE WEITERES ZUTUN HOCHLADEN VON</translation>
    </message>
    <message>
        <source>Pictures folders</source>
        <translation>Bilderordner des Benutzers</translation>
    </message>
    <message>
        <source>SD Card</source>
        <translation>Speicherkarten aller Art</translation>
    </message>
    <message>
        <source>Hard Drive</source>
        <translation>Externe Festplatten</translation>
    </message>
    <message>
        <source>Upload automatically from folders, SD cards and hard drives.</source>
        <translation>Lädt automatisch aus Ordnern, von Speicherkarten und von externen Festplatten hoch, sobald sie angeschlossen werden.</translation>
    </message>
    <message>
        <source>Sign up for free</source>
        <translation>Jetzt kostenlos ein neues Konto anlegen</translation>
    </message>
    <message>
        <source>Sign in</source>
        <translation>Mit einem bestehenden Konto anmelden</translation>
    </message>
    <message>
        <source>Facebook</source>
        <translation>Weiter mit Facebook</translation>
    </message>
    <message>
        <source>Google</source>
        <translation>Weiter mit Google</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Anmeldung abbrechen und zurück</translation>
    </message>
    <message>
        <source>You have 1000GB of free space!</source>
        <translation>Sie haben 1000 GB freien Speicherplatz für Ihre Fotos!</translation>
    </message>
    <message>
        <source>We'll upload your photos privately and automatically.
On the next screens, you can choose what to upload.</source>
        <translation>Wir laden Ihre Fotos privat und vollautomatisch hoch.
Auf den nächsten Seiten wählen Sie aus, was hochgeladen werden soll.</translation>
    </message>
    <message>
        <source>Next</source>
        <translation>Weiter zum nächsten Schritt</translation>
    </message>
    <message>
        <source>Upload my folders</source>
        <translation>Meine eigenen Ordner hochladen</translation>
    </message>
    <message>
        <source>Select folders below, and we'll upload all photos found within.
We'll also upload all new photos you add later.</source>
        <translation>Wählen Sie unten die Ordner aus, und wir laden alle darin gefundenen Fotos hoch.
Auch neue Fotos, die Sie später hinzufügen, werden hochgeladen.</translation>
    </message>
    <message>
        <source>Pictures folder</source>
        <translation>Ordner „Bilder“ des Benutzers</translation>
    </message>
    <message>
        <source>Desktop folder</source>
        <translation>Ordner „Schreibtisch“</translation>
    </message>
    <message>
        <source>Downloads folder</source>
        <translation>Ordner „Heruntergeladen“</translation>
    </message>
    <message>
        <source>Documents folder</source>
        <translation>Ordner „Dokumente“ des Benutzers</translation>
    </message>
    <message>
        <source>All photos are private</source>
        <translation>Alle Fotos bleiben privat und nur für Sie sichtbar</translation>
    </message>
    <message>
        <source>All photos kept private</source>
        <translation>Alle Fotos werden privat und nur für Sie sichtbar gehalten</translation>
    </message>
    <message>
        <source>Upload</source>
        <translation>Jetzt alles hochladen</translation>
    </message>
    <message>
        <source>Skip</source>
        <translation>Diesen Schritt überspringen</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>Zurück zum vorigen Schritt</translation>
    </message>
    <message>
        <source>Ready to go!</source>
        <translation>Alles ist bereit, es kann losgehen!</translation>
    </message>
    <message>
        <source>Fine tune your selections below.
We'll create a flat album structure on Lumora
from all the folders we upload.</source>
        <translation>Passen Sie Ihre Auswahl unten noch genauer an.
Wir legen auf Lumora eine flache Albenstruktur
aus allen hochgeladenen Ordnern an.</translation>
    </message>
    <message>
        <source>Drop folders here</source>
        <translation>Ziehen Sie Ordner hierher, um sie hinzuzufügen</translation>
    </message>
    <message>
        <source>Thanks!</source>
        <translation>Vielen herzlichen Dank!</translation>
    </message>
    <message>
        <source>We'll begin uploading right away.

To view status, use the tray icon.</source>
        <translation>Wir beginnen sofort mit dem Hochladen.

Den Fortschritt sehen Sie jederzeit über das Symbol im Infobereich der Kontrollleiste.</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>Fertig und Fenster schließen</translation>
    </message>
</context>
</TS>
