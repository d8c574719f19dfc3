// Marks the few names the plug-in leaves in its dynamic symbol table; the
// objects are built with hidden visibility and exports.map has the last word.
#pragma once

#define NOTIFY_EXPORT __attribute__((visibility("default")))
