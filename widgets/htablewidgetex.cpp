#include "htablewidgetex.h"

#include "widgets/hpushbutton.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QProgressBar>

const char* const HTableWidgetEx::media_filter = "*.mp4 *.avi *.rmvb *.mkv *.rm *.mpg *.3gp *.wmv *.flv *.mp3 *.wma";

namespace {

bool is_media_file(const QString& path)
{
    // Tried in the list's order; each entry without its leading "*".
    static const QStringList entries =
        QString::fromLatin1(HTableWidgetEx::media_filter).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& entry : entries) {
        if (path.endsWith(entry.mid(1), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

HTableWidgetEx::HTableWidgetEx(QWidget* parent)
    : HTableWidget(parent)
{
    init();
}

void HTableWidgetEx::init()
{
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setColumnCount(ColumnCount);
    setHorizontalHeaderLabels(
        {tr("@用户数据指针"), tr("选择"), tr("文件名"), tr("视频源"), tr("转换进度"), tr("移除"), tr("播放")});
    setColumnHidden(ColCheck, true);
    setColumnHidden(ColSource, true);
    setColumnHidden(ColData, true);
    setColumnWidth(ColCheck, 40);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    verticalHeader()->setDefaultSectionSize(30);
    setColumnWidth(ColName, 260);
    setColumnWidth(ColProgress, 180);
    setColumnWidth(ColRemove, 80);
    setColumnWidth(ColLook, 80);
}

void HTableWidgetEx::addSignleFile(const QString& path)
{
    // Not a media file: skipped quietly; the folder's limit test has counted it all the same.
    if (!is_media_file(path))
        return;
    if (isPathAreadyAdd(path))
        return;
    const QFileInfo info(path);
    const QIcon icon = file_icon(info);

    // No limit test here: addFilesToTable made it before handing the file over.
    const int row = rowCount();
    insertRow(row);
    for (int column = 0; column < ColumnCount; ++column) {
        auto* cell = new QTableWidgetItem(column);
        setItem(row, column, cell);
        switch (column) {
        case ColCheck:
            place_widget(row, column, new QCheckBox);
            break;
        case ColName:
            cell->setIcon(icon);
            cell->setText(info.fileName());
            break;
        case ColSource:
            cell->setText(path);
            break;
        case ColProgress: {
            auto* bar = new QProgressBar;
            bar->setValue(0);
            place_widget(row, column, bar);
            break;
        }
        case ColRemove: {
            auto* remove = make_row_button(cell, QStringLiteral(":/images/remove.png"));
            // Icon-only: named for screen readers and keyboard users.
            remove->setAccessibleName(tr("移除"));
            remove->setToolTip(tr("移除"));
            connect(remove, &HPushButton::sig_clicked, this, &HTableWidgetEx::sig_remove_row);
            place_widget(row, column, remove);
            break;
        }
        case ColLook: {
            auto* look = make_row_button(cell, QStringLiteral(":/images/movie_48.png"));
            // Its tool tip is left to the output path, which the look action reads back.
            look->setAccessibleName(tr("播放"));
            look->setAccessibleDescription(tr("播放转换后的视频"));
            connect(look, &HPushButton::sig_clicked, this, &HTableWidgetEx::sig_look_row);
            place_widget(row, column, look);
            look->setEnabled(false);
            break;
        }
        default:
            break;
        }
    }
}

QTableWidgetItem* HTableWidgetEx::source_item(int row) const
{
    return item(row, ColSource);
}

QProgressBar* HTableWidgetEx::progress_bar(int row) const
{
    return qobject_cast<QProgressBar*>(cellWidget(row, ColProgress));
}

QPushButton* HTableWidgetEx::look_button(int row) const
{
    return qobject_cast<QPushButton*>(cellWidget(row, ColLook));
}

// A row button that finds its row through the item of its own cell.
HPushButton* HTableWidgetEx::make_row_button(QTableWidgetItem* cell, const QString& icon)
{
    auto* button = new HPushButton(QIcon(icon), tr(""));
    button->m_item = cell;
    return button;
}

void HTableWidgetEx::place_widget(int row, int column, QWidget* widget)
{
    setCellWidget(row, column, widget);
    // The view shows a new cell widget at once at the top left corner, where a
    // thousand of them pile up and make every later move repaint the pile. The
    // delayed layout shows each one again in its own cell.
    widget->hide();
}

void HTableWidgetEx::rowsInserted(const QModelIndex&, int, int)
{
    // The item view would place every cell widget of the table again for each
    // new row, which makes adding a folder quadratic; the delayed layout places
    // them once, after the last row.
    scheduleDelayedItemsLayout();
}

void HTableWidgetEx::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end)
{
    // The model deletes a removed row's items at once, while the row's buttons
    // are only deleted later; until then they must not reach their item.
    for (int row = start; row <= end; ++row)
        forget_items(row);
    HTableWidget::rowsAboutToBeRemoved(parent, start, end);
}

void HTableWidgetEx::reset()
{
    // Clearing the table has deleted every item already.
    const QList<HPushButton*> buttons = viewport()->findChildren<HPushButton*>(Qt::FindDirectChildrenOnly);
    for (HPushButton* button : buttons)
        button->m_item = nullptr;
    HTableWidget::reset();
}

void HTableWidgetEx::forget_items(int row)
{
    for (int column = 0; column < columnCount(); ++column) {
        if (auto* button = qobject_cast<HPushButton*>(cellWidget(row, column)))
            button->m_item = nullptr;
    }
}
