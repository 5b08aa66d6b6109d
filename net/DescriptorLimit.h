#pragma once

// Raises the soft limit on open descriptors to the hard limit, so that many
// peers at once (or peers that vanished without a close) do not lock out the
// next ones. Returns the soft limit in force afterwards, or -1 when it cannot
// be read. The event loop polls, so descriptors above 1023 are fine.
long RaiseDescriptorLimit();
