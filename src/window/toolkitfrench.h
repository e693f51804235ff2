#pragma once

class QCoreApplication;

// Installs the toolkit's own French translation (standard buttons, file dialogs) into `app`,
// whatever the system's language, since the window is in French. False where it is not
// installed: the toolkit's texts then stay in English.
bool installToolkitFrench(QCoreApplication *app);
