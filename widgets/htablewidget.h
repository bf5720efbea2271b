#pragma once

#include <QFileInfo>
#include <QList>
#include <QTableWidget>
#include <QUrl>

// A table that takes dropped or given files and folders, one row per file,
// with a 999-file limit and a duplicate test on column 3.
class HTableWidget : public QTableWidget
{
    Q_OBJECT
public:
    explicit HTableWidget(QWidget* parent = nullptr);

    virtual void init();
    virtual void addSignleFile(const QString& path);

    void addFilesToTable(const QString& path);
    void addUrlsToTable(QList<QUrl> urls);
    bool isPathAreadyAdd(const QString& path);
    int filesCountInDir(const QString& path);
    bool isFilesCountOverflow(const QFileInfo& info, const QString& path, int& count);
    int alreadyAddFilesCount();
    void removeSelectedFiles();
    void removeCheckedFiles();
    void removeAllRows();

public slots:
    void slot_doubleClicked(int row, int column);

protected:
    // The system icon of a file, from one provider shared by all tables.
    static QIcon file_icon(const QFileInfo& info);

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
