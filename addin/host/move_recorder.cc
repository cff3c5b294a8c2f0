#include "move_recorder.h"

#include <algorithm>
#include <map>
#include <set>

namespace vexmor::addin_host {
namespace {

using platform::EntryId;

class RecordingStore final : public platform::MapiStore {
 public:
  RecordingStore(std::unique_ptr<platform::MapiStore> inner, MoveRecorder& recorder)
      : inner_(std::move(inner)), recorder_(recorder) {}

  EntryId RootFolder() const override { return inner_->RootFolder(); }
  StatusOr<EntryId> GetWellKnownFolder(platform::WellKnownFolder which) override {
    return inner_->GetWellKnownFolder(which);
  }
  StatusOr<EntryId> GetReceiveFolder() override { return inner_->GetReceiveFolder(); }
  StatusOr<platform::ObjectType> ObjectTypeOf(const EntryId& entry) override {
    return inner_->ObjectTypeOf(entry);
  }
  StatusOr<platform::FolderProps> GetFolderProps(const EntryId& folder) override {
    return inner_->GetFolderProps(folder);
  }
  StatusOr<std::vector<platform::FolderProps>> GetHierarchyTable(const EntryId& folder) override {
    return inner_->GetHierarchyTable(folder);
  }
  StatusOr<std::vector<EntryId>> GetContentsTable(const EntryId& folder) override {
    return inner_->GetContentsTable(folder);
  }
  StatusOr<platform::MessageProps> GetMessageProps(const EntryId& message,
                                                   size_t body_limit) override {
    return inner_->GetMessageProps(message, body_limit);
  }
  StatusOr<platform::MessageProps> GetMessagePropsBounded(const EntryId& message,
                                                          size_t whole_limit,
                                                          size_t body_limit) override {
    return inner_->GetMessagePropsBounded(message, whole_limit, body_limit);
  }
  StatusOr<platform::MoveEvidence> GetEvidence(const EntryId& message) override {
    return inner_->GetEvidence(message);
  }
  StatusOr<std::unique_ptr<platform::MessageSource>> OpenBodyStream(
      const EntryId& message) override {
    return inner_->OpenBodyStream(message);
  }
  StatusOr<EntryId> CreateFolder(const EntryId& parent, std::string_view name,
                                 std::string_view comment, bool open_if_exists) override {
    return inner_->CreateFolder(parent, name, comment, open_if_exists);
  }
  StatusOr<EntryId> MoveMessage(const EntryId& from, const EntryId& message,
                                const EntryId& to) override {
    StatusOr<EntryId> moved = inner_->MoveMessage(from, message, to);
    recorder_.Note(from, message, to, moved.ok() ? Status::Ok() : moved.status());
    return moved;
  }
  Status EmptyFolder(const EntryId& folder) override { return inner_->EmptyFolder(folder); }
  void OpenMoveBatch() override { inner_->OpenMoveBatch(); }
  Status CloseMoveBatch() override { return inner_->CloseMoveBatch(); }
  StatusOr<bool> WaitForChange(const EntryId& folder, int timeout_ms) override {
    return inner_->WaitForChange(folder, timeout_ms);
  }
  StatusOr<bool> WaitForChangeOrWake(const EntryId& folder, int timeout_ms, int wake_fd) override {
    return inner_->WaitForChangeOrWake(folder, timeout_ms, wake_fd);
  }

 private:
  std::unique_ptr<platform::MapiStore> inner_;
  MoveRecorder& recorder_;
};

void AddOnce(std::vector<addin::WaitingSpam::Entry>& list, addin::WaitingSpam::Entry entry) {
  if (std::find(list.begin(), list.end(), entry) == list.end()) list.push_back(std::move(entry));
}

}  // namespace

void MoveRecorder::Note(const EntryId& from, const EntryId& message, const EntryId& to,
                        const Status& result) {
  if (!recording_) return;
  AddOnce(result.ok() ? accepted_ : refused_, {from, message});
  if (result.ok()) destinations_.emplace_back(message, to);
}

std::vector<addin::WaitingSpam::Entry> MoveRecorder::TakeUnmoved(
    platform::MapiStore& store, bool queued_ok, std::vector<std::pair<EntryId, EntryId>>* moved) {
  using Entry = addin::WaitingSpam::Entry;
  std::vector<Entry> refused = std::move(refused_);
  std::vector<Entry> accepted = std::move(accepted_);
  std::vector<std::pair<EntryId, EntryId>> destinations = std::move(destinations_);
  refused_.clear();
  accepted_.clear();
  destinations_.clear();
  auto contains = [](const std::vector<Entry>& list, const Entry& entry) {
    return std::find(list.begin(), list.end(), entry) != list.end();
  };
  // A failed move may mean a refusal or a message another client took already, and a run's
  // queued moves may have failed as a whole: the folder's listing tells which are still there.
  std::vector<Entry> candidates;
  for (const Entry& entry : refused) {
    // Refused once and taken by the mover's second try: moved, unless the run's queue failed.
    if (!(queued_ok && contains(accepted, entry))) AddOnce(candidates, entry);
  }
  if (!queued_ok) {
    for (const Entry& entry : accepted) AddOnce(candidates, entry);
  }
  std::map<EntryId, std::set<EntryId>> present;
  std::set<EntryId> unlisted;
  std::vector<Entry> unmoved;
  for (const Entry& entry : candidates) {
    if (present.count(entry.source) == 0 && unlisted.count(entry.source) == 0) {
      StatusOr<std::vector<EntryId>> listed = store.GetContentsTable(entry.source);
      if (listed.ok()) {
        present[entry.source] = std::set<EntryId>(listed->begin(), listed->end());
      } else {
        unlisted.insert(entry.source);
      }
    }
    // A folder that cannot be listed keeps its messages waiting; the next try finds out.
    if (unlisted.count(entry.source) != 0 || present[entry.source].count(entry.message) != 0) {
      unmoved.push_back(entry);
    }
  }
  if (moved != nullptr) {
    moved->clear();
    for (auto& [message, to] : destinations) {
      const bool stayed = std::any_of(unmoved.begin(), unmoved.end(),
                                      [&](const Entry& entry) { return entry.message == message; });
      if (!stayed) moved->emplace_back(std::move(message), std::move(to));
    }
  }
  return unmoved;
}

std::unique_ptr<platform::MapiStore> RecordMoves(std::unique_ptr<platform::MapiStore> inner,
                                                 MoveRecorder& recorder) {
  return std::make_unique<RecordingStore>(std::move(inner), recorder);
}

}  // namespace vexmor::addin_host
