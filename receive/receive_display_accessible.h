#pragma once

// Makes the receive box known to assistive technologies as an editable text:
// its whole text, caret and selection can be read and set, and what is
// appended is announced. Called once; further calls do nothing.
void installReceiveDisplayAccessibility();
