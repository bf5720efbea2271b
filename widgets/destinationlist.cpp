#include "destinationlist.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QStyledItemDelegate>

namespace {

// A key is shown as bullets and typed into a field that shows it so.
class KeyDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QString displayText(const QVariant& value, const QLocale&) const override
    {
        return QString(value.toString().size(), QChar(0x2022));
    }
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* edit = qobject_cast<QLineEdit*>(editor))
            edit->setEchoMode(QLineEdit::Password);
        return editor;
    }
};

// Each destination takes three entries of the setting.
constexpr int k_setting_width = 3;

} // namespace

DestinationList::DestinationList(QWidget* parent)
    : QTableWidget(0, 4, parent)
{
    setHorizontalHeaderLabels({tr("推流地址"), tr("地址密钥"), tr("自签名证书"), tr("状态")});
    horizontalHeader()->setSectionResizeMode(ColAddress, QHeaderView::Stretch);
    verticalHeader()->hide();
    // Compact rows, four of them in sight without scrolling.
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    setMinimumHeight(horizontalHeader()->sizeHint().height() + 4 * verticalHeader()->defaultSectionSize() +
                     2 * frameWidth());
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setItemDelegateForColumn(ColKey, new KeyDelegate(this));
    horizontalHeaderItem(ColAnyCertificate)->setToolTip(tr("接受服务器的自签名证书（rtmps），只在信任该服务器时勾选"));
    insertRow(0);
    fill(0, {}, false);
}

void DestinationList::fill(int row, const Destination& destination, bool editable)
{
    const Qt::ItemFlags shown = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    const Qt::ItemFlags edited = editable && !m_locked ? Qt::ItemIsEditable : Qt::NoItemFlags;
    auto* address = new QTableWidgetItem(destination.url);
    address->setFlags(shown | edited);
    auto* key = new QTableWidgetItem(destination.key);
    key->setFlags(shown | edited);
    auto* any = new QTableWidgetItem;
    any->setFlags(editable && !m_locked ? shown | Qt::ItemIsUserCheckable : shown);
    any->setCheckState(destination.any_certificate ? Qt::Checked : Qt::Unchecked);
    setItem(row, ColAddress, address);
    setItem(row, ColKey, key);
    setItem(row, ColAnyCertificate, any);
    if (!item(row, ColState)) {
        auto* state = new QTableWidgetItem;
        state->setFlags(shown);
        setItem(row, ColState, state);
    }
}

void DestinationList::set_main(const Destination& main)
{
    fill(0, main, false);
}

void DestinationList::add_destination(const Destination& destination)
{
    const int row = rowCount();
    insertRow(row);
    fill(row, destination, true);
    if (!m_locked && isVisible())
        editItem(item(row, ColAddress));
}

void DestinationList::remove_selected()
{
    const int row = currentRow();
    if (!m_locked && row > 0)
        removeRow(row);
}

QList<DestinationList::Destination> DestinationList::extras() const
{
    QList<Destination> rows;
    for (int row = 1; row < rowCount(); ++row)
        rows << Destination{item(row, ColAddress)->text(), item(row, ColKey)->text(),
                            item(row, ColAnyCertificate)->checkState() == Qt::Checked};
    return rows;
}

QStringList DestinationList::setting() const
{
    QStringList values;
    for (const Destination& destination : extras())
        values << destination.url << destination.key << (destination.any_certificate ? "1" : "0");
    return values;
}

void DestinationList::set_setting(const QStringList& values)
{
    setRowCount(1);
    for (int at = 0; at + k_setting_width <= values.size(); at += k_setting_width)
        add_destination({values[at], values[at + 1], values[at + 2] == "1"});
}

void DestinationList::set_state(int row, const QString& text)
{
    if (row >= 0 && row < rowCount())
        item(row, ColState)->setText(text);
}

void DestinationList::set_locked(bool locked)
{
    if (locked == m_locked)
        return;
    m_locked = locked;
    const QList<Destination> rows = extras();
    for (int row = 1; row < rowCount(); ++row)
        fill(row, rows[row - 1], true);
}
