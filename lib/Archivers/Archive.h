// The format-neutral archive model: a tree of items with marks for the next
// operation, progress counters, and the callback through which an archive
// talks to its user.
#pragma once
#include <functional>
#include <initializer_list>
#include <memory>
#include <unordered_map>
#include "Foundation/Exceptions.h"
#include "Foundation/Lists.h"
#include "Streams/Streams.h"

// A set of small enumeration values kept as bits of an integer.
template <class E, class TBits>
class TSmallSet {
public:
    constexpr TSmallSet() = default;
    constexpr TSmallSet(std::initializer_list<E> elements) {
        for (E e : elements) Include(e);
    }

    constexpr bool Contains(E e) const { return (FBits & Bit(e)) != 0; }
    constexpr TSmallSet& Include(E e) {
        FBits = TBits(FBits | Bit(e));
        return *this;
    }
    constexpr TSmallSet& Exclude(E e) {
        FBits = TBits(FBits & ~Bit(e));
        return *this;
    }
    constexpr TSmallSet With(E e) const { return TSmallSet(*this).Include(e); }
    constexpr TSmallSet Without(E e) const { return TSmallSet(*this).Exclude(e); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool operator==(const TSmallSet&) const = default;

private:
    static constexpr TBits Bit(E e) { return TBits(TBits(1) << unsigned(e)); }
    TBits FBits = 0;
};

// What the next operation is to do with an item. Element 0 is unused.
enum class TArchState : uint8_t { Extract = 1, Delete = 2, Add = 3 };
using TArchStates = TSmallSet<TArchState, uint8_t>;

enum class TArchAttribute : uint8_t {
    Folder = 0,
    ReadOnly = 1,
    Hidden = 2,
    System = 3,
    Archive = 4,
    Encrypted = 5,
    Added = 9,  // added and not yet saved
};
using TArchAttributes = TSmallSet<TArchAttribute, uint16_t>;

// One file or folder of the tree. A folder owns its children (Items) and
// lists its child folders a second time, borrowed (Folders).
class TArchItem : public TRefObject {
public:
    // Enters the item in parent's Items once constructed (the parent takes
    // the creator's reference); a parent that is no folder is refused.
    TArchItem(WideString name, TArchItem* parent);

    WideString Name;
    WideString Comment;
    uint64_t Size = 0;
    uint64_t PackedSize = 0;
    TCompactTime ModifiedTime, AccessedTime, CreatedTime;
    // Of the data the user supplies when the item is added; -1 when unknown.
    int64_t SourceSize = -1;
    // Both exist only for folders.
    TRef<TObjectList> Items;
    TRef<TList> Folders;
    TArchStates State;

    virtual void AddItem(TArchItem* item);
    virtual void AddFolder(TArchItem* item);
    // Frees the direct children marked for deletion.
    virtual void RemoveDeletedChildren();
    // Frees every descendant marked for deletion.
    virtual void PurgeDeleted();
    virtual void Touch() {}
    virtual int32_t Count();
    virtual TArchItem* Item(int32_t index);
    // Holding the folder element turns the item into a folder for good.
    virtual void SetAttributes(TArchAttributes attributes);
    virtual TArchItem* GetParent() { return FParent; }
    // Marks the item for adding with that much data.
    virtual void SetSourceSize(int64_t size);
    virtual void MarkExtract();
    virtual void MarkDelete();
    virtual void ClearMark(TArchState mark);

    TArchAttributes Attributes() const { return FAttributes; }
    // Raises the folder-being-deleted error when a folder above the item is
    // marked for deletion: purging it would take the item along.
    void CheckNotInDeletedFolder() const;
    // Inside the archive, components separated by '\', no leading separator;
    // made from the names up the tree, so that it is not held per item.
    WideString Path() const;
    bool IsFolder() const { return FAttributes.Contains(TArchAttribute::Folder); }
    int32_t FolderCount();
    TArchItem* Folder(int32_t index);
    TArchItem* FindItem(const WideString& name, bool ignoreCase);
    TArchItem* FindFolder(const WideString& name, bool ignoreCase);

protected:
    void AfterConstruction() override;
    void Dispose() override;
    void MakeFolderLists();
    // Drops the name look-up; the next search builds it anew.
    void ForgetNameIndex() { FNameIndex.reset(); }
    // Told after children were freed below this item; the archive drops
    // its look-up cache, which may point into what went.
    virtual void ChildrenRemoved();

    TArchAttributes FAttributes;

private:
    // Children by name (folded when case is ignored), made once a folder
    // holds many, so that finding one does not walk them all.
    struct TNameIndex {
        bool IgnoreCase;
        std::unordered_map<WideString, TArchItem*> Items, Folders;
    };
    static constexpr int32_t IndexThreshold = 16;

    // Frees the direct children marked for deletion; true when any went.
    bool FreeMarkedChildren();
    void ListsChanged();
    TArchItem* FindChild(bool folder, const WideString& name, bool ignoreCase);
    TNameIndex& NameIndex(bool ignoreCase);
    static void IndexName(std::unordered_map<WideString, TArchItem*>& map, TArchItem* item, bool ignoreCase);

    TArchItem* FParent;
    std::unique_ptr<TNameIndex> FNameIndex;
};

class TArchiveProgress;
class TArchiveCallBack;
using TArchiveProgressEvent = std::function<void(TArchiveProgress* sender)>;

namespace ArchiveStage {
constexpr uint8_t Extracting = 1;
constexpr uint8_t Copying = 2;
constexpr uint8_t Writing = 3;
constexpr uint8_t ReadingDirectory = 4;
}  // namespace ArchiveStage

class TArchiveProgress : public TRefObject {
public:
    uint64_t Position = 0;
    uint64_t Total = 0;
    uint8_t Stage = 0;
    TArchiveProgressEvent OnChange;

    virtual void Start(uint64_t total);
    virtual void SetPosition(uint64_t position);
    virtual void Finish();
};

// How an archive asks its user for data, hands out extracted data, reports
// per-item errors and learns that the user wants to stop.
class TArchiveCallBack : public TRefObject {
public:
    bool Aborted = false;
    TArchItem* CurrentItem = nullptr;  // borrowed
    // Borrowed from the concrete callback, which keeps them.
    TArchiveProgress* FileProgress = nullptr;
    TArchiveProgress* TotalProgress = nullptr;

    virtual void SetAborted(bool flag) { Aborted = flag; }
    virtual void Error(TArchItem* item, const AnsiString& message) = 0;
    virtual void HeaderError(TArchItem* item, const AnsiString& message) = 0;
    virtual void Notice(TArchItem* item, int32_t value) = 0;
    virtual WideString AskText(TArchItem* item) = 0;
    virtual void Stage(int32_t value) = 0;
    virtual void Query(int32_t value) = 0;
    // The user writes the item's source data into stream.
    virtual void PackItem(TArchItem* item, TStream* stream) = 0;
    // The user reads the item's data from stream.
    virtual void ExtractItem(TArchItem* item, TStream* stream) = 0;
    virtual void Query2(int32_t value) = 0;
    virtual WideString AskText2(TArchItem* item) = 0;
    virtual void Notice2(TArchItem* item, int32_t value) = 0;
};

// A callback made of events; an operation whose event is missing falls
// back to a default (for errors, stages and queries: stop).
class TDefaultCallBack : public TArchiveCallBack {
public:
    using TMessageEvent = std::function<void(TArchiveCallBack* sender, const AnsiString& message)>;
    using TValueEvent = std::function<void(TArchiveCallBack* sender, int32_t value)>;
    using TTextEvent = std::function<WideString(TArchiveCallBack* sender)>;
    using TStreamEvent = std::function<void(TArchiveCallBack* sender, TStream* stream)>;

    TDefaultCallBack();

    TMessageEvent OnError;
    TMessageEvent OnHeaderError;
    TValueEvent OnNotice;
    TTextEvent OnAskText;
    TValueEvent OnStage;
    TValueEvent OnQuery;
    TValueEvent OnQuery2;
    TStreamEvent OnExtractItem;
    TStreamEvent OnPackItem;
    TValueEvent OnNotice2;
    TTextEvent OnAskText2;

    void Error(TArchItem* item, const AnsiString& message) override;
    void HeaderError(TArchItem* item, const AnsiString& message) override;
    void Notice(TArchItem* item, int32_t value) override;
    WideString AskText(TArchItem* item) override;
    void Stage(int32_t value) override;
    void Query(int32_t value) override;
    void PackItem(TArchItem* item, TStream* stream) override;
    void ExtractItem(TArchItem* item, TStream* stream) override;
    void Query2(int32_t value) override;
    WideString AskText2(TArchItem* item) override;
    void Notice2(TArchItem* item, int32_t value) override;

protected:
    void Dispose() override;

private:
    // What FileProgress and TotalProgress point to.
    TRef<TArchiveProgress> FFileProgress;
    TRef<TArchiveProgress> FTotalProgress;
};

namespace FindMode {
constexpr int Find = 0;       // never creates
constexpr int Add = 1;        // always a new file item
constexpr int Folder = 2;     // the folder, created when missing
constexpr int AddUnique = 3;  // a new file item; an existing one is an error
}  // namespace FindMode

// The abstract archive; the archive itself is the root folder.
class TArchive : public TArchItem {
public:
    TArchive();

    bool IgnoreCase = true;
    TArchItem* LastFolder = nullptr;
    WideString LastFolderPath;
    TArchiveCallBack* CallBack = nullptr;  // borrowed

    void SetAttributes(TArchAttributes attributes) override;

    virtual TStream* GetStream() = 0;
    virtual void SetStream(TStream* stream) = 0;
    virtual WideString GetFileName() = 0;
    virtual void SetFileName(const WideString& name) = 0;
    // The new file item for path, marked for adding with size bytes; none
    // when the path cannot be placed.
    virtual TArchItem* AddFile(const WideString& path, int64_t size);
    virtual void Open();
    virtual void Extract();
    virtual void Save(int level);
    virtual void Clear();

    // Finds or creates the item for a '\'-separated path (FindMode); none
    // when it is not found or cannot be placed (an empty path or name).
    TArchItem* FindOrCreate(const WideString& path, int mode);

protected:
    void ChildrenRemoved() override;
    // Raises EArchiveError when no callback is assigned.
    void CheckCallBack();

private:
    void ForgetLastFolder();
};
