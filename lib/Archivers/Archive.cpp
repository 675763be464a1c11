#include "Archivers/Archive.h"
#include <algorithm>
#include "Foundation/CaseFolding.h"
#include "Foundation/CodePages.h"
#include "Foundation/ErrorReport.h"

namespace {

TArchItem* Child(TList* list, int32_t index) { return list->Item<TArchItem>(index); }

[[noreturn]] void RaiseFolderBeingDeleted(const TArchItem* folder) {
    // Deliberate spelling: the text stays as it has always been shown.
    throw TCommonException("cannot add the item to \"" + WideToUtf8(folder->Path()) + "\" folder  being deleted");
}

}  // namespace

// ---- TArchItem

TArchItem::TArchItem(WideString name, TArchItem* parent) : Name(std::move(name)), FParent(parent) {}

WideString TArchItem::Path() const {
    size_t length = 0;
    for (const TArchItem* item = this; item->FParent; item = item->FParent) length += item->Name.size() + 1;
    if (length == 0) return WideString();
    WideString path(length - 1, u'\\');
    size_t end = path.size();
    for (const TArchItem* item = this; item->FParent; item = item->FParent) {
        end -= item->Name.size();
        std::copy(item->Name.begin(), item->Name.end(), path.begin() + ptrdiff_t(end));
        if (end > 0) --end;
    }
    return path;
}

// Not in the constructor: a subclass constructor that throws would leave a
// freed item in its parent.
void TArchItem::AfterConstruction() {
    TRefObject::AfterConstruction();
    if (FParent) FParent->AddItem(this);
}

void TArchItem::Dispose() {
    // The borrowed view goes before the children it points to.
    Folders.Reset();
    Items.Reset();
    TRefObject::Dispose();
}

void TArchItem::MakeFolderLists() {
    if (!Items) Items = MakeRef<TObjectList>();
    if (!Folders) Folders = MakeRef<TList>();
}

void TArchItem::AddItem(TArchItem* item) {
    NVX_ASSERT_MSG(Items, "Assertion failure");
    if (Items->Add(item) < 0) throw EOutOfMemory("Out of memory");
    if (FNameIndex) IndexName(FNameIndex->Items, item, FNameIndex->IgnoreCase);
}

void TArchItem::AddFolder(TArchItem* item) {
    NVX_ASSERT_MSG(Folders, "Assertion failure");
    if (Folders->Add(item) < 0) throw EOutOfMemory("Out of memory");
    if (FNameIndex) IndexName(FNameIndex->Folders, item, FNameIndex->IgnoreCase);
}

void TArchItem::ChildrenRemoved() {
    if (FParent) FParent->ChildrenRemoved();
}

bool TArchItem::FreeMarkedChildren() {
    bool freed = false;
    // Folders first, while the items are alive: one pass, not a search
    // for every folder that goes.
    for (int32_t i = 0; i < Folders->Count(); ++i) {
        TArchItem* folder = Child(Folders.Get(), i);
        if (folder && folder->State.Contains(TArchState::Delete)) Folders->Put(i, nullptr);
    }
    for (int32_t i = 0; i < Items->Count(); ++i) {
        TArchItem* child = Child(Items.Get(), i);
        if (!child || !child->State.Contains(TArchState::Delete)) continue;
        Items->Put(i, nullptr);
        Free(child);
        freed = true;
    }
    return freed;
}

void TArchItem::ListsChanged() {
    ForgetNameIndex();
    Items->Pack();
    Folders->Pack();
    ChildrenRemoved();
}

void TArchItem::RemoveDeletedChildren() {
    if (Items && FreeMarkedChildren()) ListsChanged();
}

void TArchItem::PurgeDeleted() {
    if (!Items) return;
    bool dropped = false;
    for (int32_t i = 0; i < Folders->Count(); ++i) {
        TArchItem* folder = Child(Folders.Get(), i);
        if (!folder) continue;
        if (folder->State.Contains(TArchState::Delete)) {
            Folders->Put(i, nullptr);
            dropped = true;
        } else {
            folder->PurgeDeleted();
        }
    }
    if (FreeMarkedChildren() || dropped) ListsChanged();
}

void TArchItem::CheckNotInDeletedFolder() const {
    // The root is never purged itself.
    for (const TArchItem* folder = FParent; folder && folder->FParent; folder = folder->FParent)
        if (folder->State.Contains(TArchState::Delete)) RaiseFolderBeingDeleted(folder);
}

int32_t TArchItem::Count() { return Items ? Items->Count() : 0; }

TArchItem* TArchItem::Item(int32_t index) { return Items ? Child(Items.Get(), index) : nullptr; }

int32_t TArchItem::FolderCount() { return Folders ? Folders->Count() : 0; }

TArchItem* TArchItem::Folder(int32_t index) { return Folders ? Child(Folders.Get(), index) : nullptr; }

void TArchItem::IndexName(std::unordered_map<WideString, TArchItem*>& map, TArchItem* item, bool ignoreCase) {
    // The first of equal names is the one a search in order finds.
    if (item) map.emplace(ignoreCase ? FoldString(item->Name) : item->Name, item);
}

TArchItem::TNameIndex& TArchItem::NameIndex(bool ignoreCase) {
    if (FNameIndex && FNameIndex->IgnoreCase == ignoreCase) return *FNameIndex;
    FNameIndex = std::make_unique<TNameIndex>();
    FNameIndex->IgnoreCase = ignoreCase;
    for (int32_t i = 0; i < Items->Count(); ++i) IndexName(FNameIndex->Items, Child(Items.Get(), i), ignoreCase);
    for (int32_t i = 0; i < Folders->Count(); ++i) IndexName(FNameIndex->Folders, Child(Folders.Get(), i), ignoreCase);
    return *FNameIndex;
}

TArchItem* TArchItem::FindChild(bool folder, const WideString& name, bool ignoreCase) {
    TList* list = folder ? Folders.Get() : Items.Get();
    if (!list) return nullptr;
    if (list->Count() < IndexThreshold) {
        for (int32_t i = 0; i < list->Count(); ++i) {
            TArchItem* item = Child(list, i);
            if (item && CompareText(item->Name, name, ignoreCase) == 0) return item;
        }
        return nullptr;
    }
    TNameIndex& index = NameIndex(ignoreCase);
    auto& map = folder ? index.Folders : index.Items;
    auto found = map.find(ignoreCase ? FoldString(name) : name);
    return found == map.end() ? nullptr : found->second;
}

TArchItem* TArchItem::FindItem(const WideString& name, bool ignoreCase) { return FindChild(false, name, ignoreCase); }

TArchItem* TArchItem::FindFolder(const WideString& name, bool ignoreCase) { return FindChild(true, name, ignoreCase); }

void TArchItem::SetAttributes(TArchAttributes attributes) {
    FAttributes = attributes;
    if (!attributes.Contains(TArchAttribute::Folder) || Items) return;
    MakeFolderLists();
    if (FParent) FParent->AddFolder(this);
}

void TArchItem::SetSourceSize(int64_t size) {
    State.Exclude(TArchState::Delete).Include(TArchState::Add);
    SourceSize = size;
}

void TArchItem::MarkExtract() {
    State.Include(TArchState::Extract);
    for (int32_t i = 0; i < Count(); ++i) Item(i)->MarkExtract();
}

void TArchItem::MarkDelete() {
    State.Exclude(TArchState::Add).Include(TArchState::Delete);
    for (int32_t i = 0; i < Count(); ++i) Item(i)->MarkDelete();
}

void TArchItem::ClearMark(TArchState mark) {
    State.Exclude(mark);
    if (mark != TArchState::Extract && mark != TArchState::Delete) return;
    for (int32_t i = 0; i < Count(); ++i) Item(i)->ClearMark(mark);
}

// ---- TArchiveProgress

void TArchiveProgress::Start(uint64_t total) {
    Total = total;
    Position = 0;
    if (OnChange) OnChange(this);
}

void TArchiveProgress::SetPosition(uint64_t position) {
    Position = position;
    if (OnChange) OnChange(this);
}

void TArchiveProgress::Finish() {
    if (Position < Total) SetPosition(Total);
}

// ---- TDefaultCallBack

TDefaultCallBack::TDefaultCallBack()
    : FFileProgress(MakeRef<TArchiveProgress>()), FTotalProgress(MakeRef<TArchiveProgress>()) {
    FileProgress = FFileProgress.Get();
    TotalProgress = FTotalProgress.Get();
}

void TDefaultCallBack::Dispose() {
    FileProgress = TotalProgress = nullptr;
    FFileProgress.Reset();
    FTotalProgress.Reset();
    TArchiveCallBack::Dispose();
}

void TDefaultCallBack::Error(TArchItem* item, const AnsiString& message) {
    CurrentItem = item;
    if (OnError) OnError(this, message);
    else SetAborted(true);
}

void TDefaultCallBack::HeaderError(TArchItem* item, const AnsiString& message) {
    CurrentItem = item;
    if (OnHeaderError) OnHeaderError(this, message);
    else SetAborted(true);
}

void TDefaultCallBack::Notice(TArchItem* item, int32_t value) {
    CurrentItem = item;
    if (OnNotice) OnNotice(this, value);
}

WideString TDefaultCallBack::AskText(TArchItem* item) {
    CurrentItem = item;
    return OnAskText ? OnAskText(this) : WideString();
}

void TDefaultCallBack::Stage(int32_t value) {
    CurrentItem = nullptr;
    if (OnStage) OnStage(this, value);
    else SetAborted(true);
}

void TDefaultCallBack::Query(int32_t value) {
    if (OnQuery) OnQuery(this, value);
    else SetAborted(true);
}

void TDefaultCallBack::PackItem(TArchItem* item, TStream* stream) {
    CurrentItem = item;
    if (OnPackItem) OnPackItem(this, stream);
}

void TDefaultCallBack::ExtractItem(TArchItem* item, TStream* stream) {
    CurrentItem = item;
    if (OnExtractItem) OnExtractItem(this, stream);
}

void TDefaultCallBack::Query2(int32_t value) {
    if (OnQuery2) OnQuery2(this, value);
    else SetAborted(true);
}

WideString TDefaultCallBack::AskText2(TArchItem* item) {
    CurrentItem = item;
    return OnAskText2 ? OnAskText2(this) : WideString();
}

void TDefaultCallBack::Notice2(TArchItem* item, int32_t value) {
    CurrentItem = item;
    if (OnNotice2) OnNotice2(this, value);
}

// ---- TArchive

TArchive::TArchive() : TArchItem(WideString(), nullptr) {
    FAttributes = {TArchAttribute::Folder};
    MakeFolderLists();
    LastFolder = this;
}

// The root is a folder from construction on; nothing changes that.
void TArchive::SetAttributes(TArchAttributes) {}

void TArchive::CheckCallBack() {
    if (!CallBack) throw EArchiveError("CallBack must be assigned to perform the operation");
}

void TArchive::Open() { CheckCallBack(); }

void TArchive::Extract() { CheckCallBack(); }

void TArchive::Save(int) { CheckCallBack(); }

void TArchive::Clear() {
    FAttributes = {TArchAttribute::Folder};
    IgnoreCase = true;
    MakeFolderLists();
    Folders->Clear();
    Items->FreeAll();
    ForgetNameIndex();
    ForgetLastFolder();
}

void TArchive::ForgetLastFolder() {
    LastFolder = this;
    LastFolderPath.clear();
}

void TArchive::ChildrenRemoved() { ForgetLastFolder(); }

TArchItem* TArchive::AddFile(const WideString& path, int64_t size) {
    TArchItem* item = FindOrCreate(path, FindMode::Add);
    if (!item) return nullptr;
    item->SetAttributes(item->Attributes().With(TArchAttribute::Added));
    item->SetSourceSize(size);
    return item;
}

TArchItem* TArchive::FindOrCreate(const WideString& path, int mode) {
    // Empty components (leading, doubled or trailing separators) have no
    // place in the tree; refused before anything is made.
    if (path.empty() || path.front() == u'\\' || path.back() == u'\\' || path.find(u"\\\\") != WideString::npos)
        return nullptr;
    const size_t cut = path.rfind(u'\\');
    const size_t folderLength = cut == WideString::npos ? 0 : cut;
    TArchItem* folder = this;
    // Where the walk down from folder begins in path.
    size_t start = 0;
    // Compared in place where case counts: one path after another.
    if (LastFolder && (IgnoreCase ? CompareText(path.substr(0, folderLength), LastFolderPath, true) == 0
                                  : path.compare(0, folderLength, LastFolderPath) == 0)) {
        folder = LastFolder;
        start = cut == WideString::npos ? 0 : cut + 1;
        // The cache skips the walk that would have met a folder being
        // deleted; deletion marks spread down, so the cached one shows it.
        if (mode == FindMode::AddUnique && folder->State.Contains(TArchState::Delete)) RaiseFolderBeingDeleted(folder);
    }

    // A folder step: find it, create it unless only finding.
    auto descend = [&](TArchItem* from, const WideString& name) -> TArchItem* {
        if (TArchItem* found = from->FindFolder(name, IgnoreCase)) {
            if (mode == FindMode::AddUnique && found->State.Contains(TArchState::Delete))
                RaiseFolderBeingDeleted(found);
            return found;
        }
        if (mode == FindMode::Find) return nullptr;
        TArchItem* created = New<TArchItem>(name, from);
        created->SetAttributes({TArchAttribute::Folder});
        return created;
    };

    for (size_t end; (end = path.find(u'\\', start)) != WideString::npos; start = end + 1) {
        folder = descend(folder, path.substr(start, end - start));
        if (!folder) return nullptr;
    }
    WideString name = path.substr(start);

    TArchItem* result;
    switch (mode) {
    case FindMode::Find: result = folder->FindItem(name, IgnoreCase); break;
    case FindMode::Folder: result = descend(folder, name); break;
    case FindMode::AddUnique:
        if (folder->FindItem(name, IgnoreCase))
            // Deliberate spelling: the text stays as it has always been shown.
            throw TCommonException("\"" + WideToUtf8(path) + "\" is already exsits, delete it first");
        result = New<TArchItem>(std::move(name), folder);
        break;
    default: result = New<TArchItem>(std::move(name), folder); break;
    }
    if (folder != LastFolder) {
        LastFolder = folder;
        LastFolderPath = folder->Path();
    }
    return result;
}
