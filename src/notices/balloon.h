#pragma once

// Shows the front notice of the queue as a balloon, unless one is on screen, the queue is empty
// or the shell does not hold the icon; marks it as shown once the shell has taken it.
void ShowNextNotice();
