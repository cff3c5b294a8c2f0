#include "vexmor/addin/registration.h"

#include <algorithm>

#include "text_rules.h"

namespace vexmor::addin {
namespace {

using platform::RegistryValue;

std::string ClassKey(std::string_view sub) {
  return std::string(kClassesKey) + "\\" + std::string(sub);
}

std::string Utf16(std::string_view text) {
  std::string out;
  for (char c : text) {
    out.push_back(c);
    out.push_back('\0');
  }
  out.append(2, '\0');
  return out;
}

std::string LittleEndian(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

}  // namespace

com::HRESULT RegisterAddin(platform::Registry& registry, const std::string& library) {
  const std::string clsid = com::GuidToString(com::CLSID_OutLook);
  const std::string libid = com::GuidToString(com::LIBID_OUTLOOK_ADDINLib);
  const std::string class_key = ClassKey("CLSID\\" + clsid);
  const std::string addin_key = std::string(kAddinsKey) + "\\" + std::string(kProgId);
  const std::string versioned = ClassKey(kProgIdVersioned);
  const std::string independent = ClassKey(kProgId);
  const std::string typelib = ClassKey("TypeLib\\" + libid + "\\1.0");
  struct Entry {
    std::string key;
    std::string name;
    RegistryValue value;
  };
  const Entry entries[] = {
      {versioned, "", RegistryValue::String("OutLook Class")},
      {versioned + "\\CLSID", "", RegistryValue::String(clsid)},
      {independent, "", RegistryValue::String("OutLook Class")},
      {independent + "\\CLSID", "", RegistryValue::String(clsid)},
      {independent + "\\CurVer", "", RegistryValue::String(std::string(kProgIdVersioned))},
      {class_key, "", RegistryValue::String("OutLook Class")},
      {class_key + "\\ProgID", "", RegistryValue::String(std::string(kProgIdVersioned))},
      {class_key + "\\VersionIndependentProgID", "", RegistryValue::String(std::string(kProgId))},
      {class_key + "\\InprocServer32", "", RegistryValue::String(library)},
      {class_key + "\\InprocServer32", "ThreadingModel", RegistryValue::String("Apartment")},
      {class_key + "\\TypeLib", "", RegistryValue::String(libid)},
      {typelib, "", RegistryValue::String("OutLook_Addin 1.0 Type Library")},
      {typelib + "\\0\\linux", "", RegistryValue::String(library)},
      {addin_key, "FriendlyName", RegistryValue::String("Vexmor for Outlook plugin")},
      {addin_key, "Description",
       RegistryValue::String("Vexmor anti-spam add-in for Outlook 2000/XP/2003 - "
                             "http://www.vexmor.example/")},
      {addin_key, "LoadBehavior", RegistryValue::Dword(kLoadAtStartup)},
      {addin_key, "CommandLineSafe", RegistryValue::Dword(0)},
  };
  for (const Entry& entry : entries) {
    if (!registry.SetValue(entry.key, entry.name, entry.value).ok()) return com::SELFREG_E_CLASS;
  }
  if (!registry.CreateKey(class_key + "\\Programmable").ok()) return com::SELFREG_E_CLASS;
  return com::S_OK;
}

com::HRESULT UnregisterAddin(platform::Registry& registry) {
  const std::string keys[] = {
      ClassKey("CLSID\\" + com::GuidToString(com::CLSID_OutLook)),
      ClassKey("TypeLib\\" + com::GuidToString(com::LIBID_OUTLOOK_ADDINLib)),
      ClassKey(kProgIdVersioned),
      ClassKey(kProgId),
      std::string(kAddinsKey) + "\\" + std::string(kProgId),
  };
  for (const std::string& key : keys) {
    Status status = registry.DeleteKey(key);
    if (!status.ok() && status.code() != StatusCode::kNotFound) return com::SELFREG_E_CLASS;
  }
  return com::S_OK;
}

std::vector<RegisteredAddin> StartupAddins(const platform::Registry& registry) {
  std::vector<RegisteredAddin> addins;
  StatusOr<std::vector<std::string>> names = registry.EnumerateSubkeys(kAddinsKey);
  if (!names.ok()) return addins;
  for (const std::string& name : *names) {
    StatusOr<RegistryValue> behavior =
        registry.QueryValue(std::string(kAddinsKey) + "\\" + name, "LoadBehavior");
    if (!behavior.ok() || behavior->type != RegistryValue::Type::kDword ||
        behavior->dword != kLoadAtStartup) {
      continue;
    }
    StatusOr<RegistryValue> clsid_text = registry.QueryValue(ClassKey(name + "\\CLSID"), "");
    RegisteredAddin addin;
    addin.prog_id = name;
    if (!clsid_text.ok() || !com::GuidFromString(clsid_text->data, &addin.clsid)) continue;
    StatusOr<RegistryValue> server = registry.QueryValue(
        ClassKey("CLSID\\" + com::GuidToString(addin.clsid) + "\\InprocServer32"), "");
    if (!server.ok() || server->data.empty()) continue;
    addin.library = server->data;
    addins.push_back(std::move(addin));
  }
  return addins;
}

std::string DisabledItemRecord(std::string_view library, std::string_view name) {
  std::string path = Utf16(library);
  std::string friendly = Utf16(name);
  return LittleEndian(1) + LittleEndian(static_cast<uint32_t>(path.size())) +
         LittleEndian(static_cast<uint32_t>(friendly.size())) + path + friendly;
}

bool RecordNamesLibrary(std::string_view record, std::string_view library) {
  std::string text;
  for (char c : record) {
    if (c != 0 && c != 1 && c != 24) text.push_back(c);
  }
  return Lower(text).find(Lower(library)) != std::string::npos;
}

}  // namespace vexmor::addin

namespace vexmor::addin {

std::string EcfLibrary(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.starts_with("Path=")) {
      line.remove_prefix(5);
      if (line.size() >= 2 && line.front() == '"' && line.back() == '"') {
        line = line.substr(1, line.size() - 2);
      }
      return std::string(line);
    }
    begin = end + 1;
  }
  return {};
}

}  // namespace vexmor::addin
