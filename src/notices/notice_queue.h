#pragma once

// While the companion application runs, queues the listed notices that are due ("danger" at the
// front), then shows the next one.
void PollNotices();
