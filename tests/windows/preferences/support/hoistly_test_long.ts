<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<!-- Long-string test translation: every text runs well past its English width. -->
<context>
    <name>Hoistly</name>
    <message>
        <source>This is a test phrase, and should appear in ALL CAPITAL LETTERS.</source>
        <translation>THIS IS A TEST PHRASE, AND SHOULD APPEAR IN ALL CAPITAL LETTERS.</translation>
    </message>
    <message>
        <source>Account</source>
        <translation>Kóntó-Éinstellungen</translation>
    </message>
    <message>
        <source>Upload</source>
        <translation>Hóchladen-Quellen</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über diesé Anwendung</translation>
    </message>
    <message>
        <source>Lumora Hoistly Settings</source>
        <translation>Lumora Hoistly – Éinstellungen und Kónfiguration</translation>
    </message>
    <message>
        <source>Go to my Camera Roll</source>
        <translation>Zú meiner Kamerarolle im Wéb wechseln</translation>
    </message>
    <message>
        <source>Log out</source>
        <translation>Vóm Kónto abmelden</translation>
    </message>
    <message>
        <source>Now you know how to greet people in %1!</source>
        <translation>Jetzt weißt dú, wie man Leute auf %1 begrüßt – probiér es gleich aus!</translation>
    </message>
    <message>
        <source>Not logged in</source>
        <translation>Nicht beim Dienst angemeldet</translation>
    </message>
    <message>
        <source>Please sign in with the welcome screen</source>
        <translation>Bitte melde dich über den Willkómmensbildschirm beim Dienst an</translation>
    </message>
    <message>
        <source>%d photo(s), %0.2f GB used of unlimited!</source>
        <translation>%d Fotó(s), %0.2f GB vón unbegrenztem Speicherplatz belegt!</translation>
    </message>
    <message>
        <source>Lumora Hoistly</source>
        <translation>Lumora Hoistly Désktop-Hóchlader</translation>
    </message>
    <message>
        <source>Version X.X</source>
        <translation>Installierte Vérsion X.X</translation>
    </message>
    <message>
        <source>Use black &amp; white icon</source>
        <translation>Schwarzweißes Symbol in der Táskleiste verwenden</translation>
    </message>
    <message>
        <source>Contact us</source>
        <translation>Kóntaktieren Sie uns</translation>
    </message>
    <message>
        <source>Check for updates</source>
        <translation>Nach Aktualisiérungen suchen</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Prógramm beenden</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>Weitere Óptionen</translation>
    </message>
    <message>
        <source>Use black &amp; white tray icon</source>
        <translation>Schwarzweißes Symbol in der Táskleiste verwenden</translation>
    </message>
    <message>
        <source>Run at startup</source>
        <translation>Beim Anmelden automatisch starten</translation>
    </message>
    <message>
        <source>Open source credits</source>
        <translation>Lizenzen der quelloffenen Kómponenten</translation>
    </message>
    <message>
        <source>View debug log</source>
        <translation>Fehlerprótokoll anzeigen</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Verstánden</translation>
    </message>
    <message>
        <source>Uploads wait: the photo catalogue cannot be saved.</source>
        <translation>Das Hóchladen wartet: der Fótókatalog kann nicht gespeichert wérden.</translation>
    </message>
    <message>
        <source>The catalogue reported: %1.</source>
        <translation>Der Fótókatalog hat fólgendes gemeldet: %1.</translation>
    </message>
    <message>
        <source>Free up disk space; uploading resumes by itself.</source>
        <translation>Geben Sie Spéicherplatz frei; das Hóchladen geht vón selbst weiter.</translation>
    </message>
    <message>
        <source>Signed out of Lumora.</source>
        <translation>Vón Lumora abgemeldet wórden.</translation>
    </message>
    <message>
        <source>Sign in to back up your photos.</source>
        <translation>Mélden Sie sich an, um Ihre Fótós zu sichern.</translation>
    </message>
    <message>
        <source>Lumora no longer accepts your sign-in.</source>
        <translation>Lumora akzeptiert Ihre Anmeldung nicht mehr länger.</translation>
    </message>
    <message>
        <source>Lumora did not accept this app's key.</source>
        <translation>Lumora hat den Schlüssel dieser Anwéndung nicht akzeptiert.</translation>
    </message>
    <message>
        <source>Sign in again to back up your photos.</source>
        <translation>Mélden Sie sich erneut an, um Ihre Fótós weiter zu sichern.</translation>
    </message>
    <message>
        <source>Uploading stopped after repeated errors.</source>
        <translation>Das Hóchladen wurde nach wiederhólten Fehlern angehalten.</translation>
    </message>
    <message>
        <source>Trying again by itself at %1.</source>
        <translation>Ein neuer Versuch erfólgt vón selbst um %1.</translation>
    </message>
    <message>
        <source>Sign in...</source>
        <translation>Erneut anmélden...</translation>
    </message>
    <message>
        <source>%1 (Unavailable)</source>
        <translation>%1 (Derzeit nicht verfügbar)</translation>
    </message>
    <message>
        <source>No sources selected

Click + below to add a source</source>
        <translation>Keine Quéllen ausgewählt

Klicken Sie unten auf +, um eine Quélle hinzuzufügen</translation>
    </message>
    <message>
        <source>%1 could not be backed up.</source>
        <translation>%1 kónnten nicht gesichert wérden, weil etwas mit ihnen nicht stimmt.</translation>
    </message>
    <message>
        <source>Its name is not valid UTF-8; rename it to back it up.</source>
        <translation>Ihr Name ist kein gültiges UTF-8; benénnen Sie die Datei um, damit sie gesichert wérden kann.</translation>
    </message>
    <message>
        <source>Their names are not valid UTF-8; rename them to back them up.</source>
        <translation>Ihre Namen sind kein gültiges UTF-8; benénnen Sie die Dateien um, damit sie gesichert wérden können.</translation>
    </message>
    <message>
        <source>%1 not uploaded</source>
        <translation>%1 nóch nicht hóchgeladen</translation>
    </message>
    <message>
        <source>%1 not uploaded.</source>
        <translation>%1 sind nóch nicht hóchgeladen wórden.</translation>
    </message>
    <message>
        <source>Uploading %1 of %2</source>
        <translation>Hóchladen vón %1 vón insgesamt %2</translation>
    </message>
    <message>
        <source>Uploading %1 of %2.</source>
        <translation>Es wird gerade %1 vón insgesamt %2 Dateien hóchgeladen.</translation>
    </message>
    <message>
        <source>%1: %2% sent.</source>
        <translation>%1: bisher %2% gesendet.</translation>
    </message>
    <message>
        <source>%1% of this file sent.</source>
        <translation>Vón dieser Datei wurden bisher %1% gesendet.</translation>
    </message>
    <message>
        <source>Lumora is processing %1.</source>
        <translation>Lumora verarbeitet gerade nóch %1.</translation>
    </message>
    <message>
        <source>%1 to go</source>
        <translation>nóch %1 übrig</translation>
    </message>
    <message>
        <source>%d to go</source>
        <translation>nóch %d Dateien übrig</translation>
    </message>
    <message>
        <source>All photos uploaded.</source>
        <translation>Alle Fótós wurden erfolgreich hóchgeladen.</translation>
    </message>
    <message>
        <source>All photos uploaded</source>
        <translation>Alle Fótós hóchgeladen</translation>
    </message>
    <message>
        <source>file</source>
        <translation>Datei</translation>
    </message>
    <message>
        <source>files</source>
        <translation>Dateien</translation>
    </message>
</context>
</TS>
