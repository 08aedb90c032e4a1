#pragma once

// Application-wide settings every entry point shares: the dialog font, which
// must hold the window's Chinese captions at the sizes the layout gives them.
void configureApplication();
