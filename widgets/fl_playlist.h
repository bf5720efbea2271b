#pragma once

#include <QListWidget>
#include <QString>

struct FlvCheck;

// Whoever pushes the entries the list starts (the live push window).
class PlayListOwner
{
public:
    virtual ~PlayListOwner() = default;
    virtual void do_live(const QString& path) = 0;
};

// The live push play list: local videos pushed one after another, kept in
// "player.list" in the host's data folder.
class FL_PlayList : public QListWidget
{
    Q_OBJECT
public:
    // Item data: the entry's path with "/" separators, its identity.
    static constexpr int PathRole = Qt::UserRole + 1;
    // Item data: why the entry's streams cannot be copied into FLV (a string list).
    static constexpr int FlvProblemRole = Qt::UserRole + 2;

    explicit FL_PlayList(QWidget* parent = nullptr);
    ~FL_PlayList() override;

    void set_owner(PlayListOwner* owner) { m_owner = owner; }

    Q_INVOKABLE void add_movieItem(const QString& path, bool highlight);
    void add_movieItems();
    QListWidgetItem* isMovieAlreadAdded(const QString& path) const;
    void del_movieItem(int row);
    Q_INVOKABLE void clearPlayList();
    void highlight_item(QListWidgetItem* item);
    void play_pre_next(bool next);
    void show_movieDir(int row);
    void exportPlayList();
    void refresh_list(const QString& path);
    // Marks an entry the transcoder could not push as it marks one whose streams FLV cannot carry.
    void mark_unpushable(QListWidgetItem* item, const QString& why);

    // The entry being pushed (last started); null when none.
    QListWidgetItem* current_movie() const { return m_curItem; }

    static QString save_path();

public slots:
    void slot_loadPlayList();
    void slot_itemDoubleClicked(QListWidgetItem* it);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void check_flv(const QString& path);
    void mark_flv(const QString& path, const FlvCheck& check);

    QListWidgetItem* m_curItem = nullptr;
    PlayListOwner* m_owner = nullptr;
    QString m_lastDir;
};
