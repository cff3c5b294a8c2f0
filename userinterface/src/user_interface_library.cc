// The user-interface library: the log writer's library form, the dialogs and the lookups of
// the mail clients' windows. Each part lives in a file of its own beside this one.
