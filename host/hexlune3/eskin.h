#pragma once

#include "ebase.h"

// The host's skin module: "m_shadow" gives a window a frameless look with a
// soft edge, "m_drag" lets the user drag it by its head_widget.
class ESkin : public EModule
{
    Q_OBJECT
public:
    explicit ESkin(EBase* host);

    QVariant recv_msg(const QString& msg, QVariant data) override;
};
