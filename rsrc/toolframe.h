#pragma once

class QWidget;

// The construction steps every window of the plug-in shares, run right after
// setupUi: the Sheet flag for tool windows, the optional "m_drag" property and
// the two messages to the host's skin module.
namespace toolframe {

enum class Kind { ToolWindow, Dialog };

void apply(QWidget* window, Kind kind, bool dragPropertyFalse);

} // namespace toolframe
