#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTableWidget>

// The destinations of a push to several at once, one row each: the address,
// its key (shown as bullets), whether the server's certificate is taken
// unchecked, and the state the push reports. The first row is the window's
// own address and key, shown as they are set above it and not edited here;
// the user adds, edits and removes the others while no push runs.
class DestinationList : public QTableWidget
{
    Q_OBJECT
public:
    enum Column { ColAddress, ColKey, ColAnyCertificate, ColState };
    struct Destination
    {
        QString url, key;
        bool any_certificate = false;
    };

    explicit DestinationList(QWidget* parent = nullptr);

    // What the first row shows.
    void set_main(const Destination& main);
    // A new row, its address edited at once when the list is open for edits.
    void add_destination(const Destination& destination = {QStringLiteral("rtmp://"), {}, false});
    void remove_selected();
    // The rows after the first.
    QList<Destination> extras() const;
    // The rows after the first as a setting, and back.
    QStringList setting() const;
    void set_setting(const QStringList& values);
    // The state shown in a row (0: the window's own address).
    void set_state(int row, const QString& text);
    // While a push runs nothing is edited.
    void set_locked(bool locked);

private:
    void fill(int row, const Destination& destination, bool editable);

    bool m_locked = false;
};
