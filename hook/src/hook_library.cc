// The hook library: the filter engine and the message operations the host program calls. Its
// logic lives in vexmor_hook_core, linked in whole; the exported entry points join it here
// (exports.cc).
