#pragma once

// Shows the front notice of the queue as a balloon, unless one is on screen or being requested,
// the queue is empty or the shell does not hold the icon; marks it as shown once the shell has
// taken it.
void ShowNextNotice();

// The balloon on screen has ended: the shell reported it, or the taskbar that held it is gone.
void EndBalloon();

// Counts a timer tick. On the 31st tick that finds the same balloon still on screen, the balloon
// is taken as ended, as if it had timed out, and the next notice is shown.
void CountBalloonTick();
