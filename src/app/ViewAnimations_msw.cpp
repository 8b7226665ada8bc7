#include "app/ViewAnimations.h"

// The native multi-line edit control scrolls in one step.
void stopViewAnimations() {}
