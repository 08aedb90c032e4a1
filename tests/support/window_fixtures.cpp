// The window fixtures are header-only; this file makes sure each of them
// stands on its own, and gives their library a source of its own.
#include "support/choose_item.h"
#include "support/fake_window.h"
#include "support/menu_probe.h"
#include "support/pty_window.h"
#include "support/recording_dialogs.h"
