#include "contracts/operation_table.h"

#include <algorithm>

#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

namespace vantrel::contracts {
namespace {

// --- Items carried by an argument ------------------------------------------
// A list counts its entries and a map its keys, unless their elements are
// lists or maps themselves: then the innermost entries are the items (the
// fields of a Tags map, the values of a TagValuesByNames map).

template <typename T>
inline constexpr bool kIsList = false;
template <typename T, typename A>
inline constexpr bool kIsList<std::vector<T, A>> = true;
template <typename T>
inline constexpr bool kIsMap = false;
template <typename K, typename V, typename... Rest>
inline constexpr bool kIsMap<tsl::ordered_map<K, V, Rest...>> = true;
template <typename T>
inline constexpr bool kIsCollection = kIsList<T> || kIsMap<T>;

template <typename T>
std::size_t CountItems(const T& value) {
  if constexpr (kIsList<T>) {
    if constexpr (kIsCollection<typename T::value_type>) {
      std::size_t items = 0;
      for (const auto& element : value) items += CountItems(element);
      return items;
    } else {
      return value.size();
    }
  } else if constexpr (kIsMap<T>) {
    if constexpr (kIsCollection<typename T::mapped_type>) {
      std::size_t items = 0;
      for (const auto& entry : value) items += CountItems(entry.second);
      return items;
    } else {
      return value.size();
    }
  } else {
    return 0;  // a name, a number or a flag is no item
  }
}

// --- Calling an interface method with arguments held in std::any -----------

template <auto Method>
struct MethodTraits;
template <typename Service, typename Result, typename... Args, Result (Service::*Method)(Args...)>
struct MethodTraits<Method> {
  using ServiceType = Service;
  using ResultType = Result;
  using Arguments = std::tuple<std::decay_t<Args>...>;
};

template <typename Service>
Service& ServiceOf(const ServiceSet& services) {
  Service* service = nullptr;
  if constexpr (std::is_same_v<Service, IAccessService>) service = services.access;
  if constexpr (std::is_same_v<Service, IManagementService>) service = services.management;
  if constexpr (std::is_same_v<Service, IServerManagementService>) service = services.server;
  if (service == nullptr) throw std::invalid_argument("the call's service object is missing");
  return *service;
}

template <typename Service>
constexpr ServiceKind KindOf() {
  if constexpr (std::is_same_v<Service, IAccessService>) return ServiceKind::kAccess;
  if constexpr (std::is_same_v<Service, IManagementService>) return ServiceKind::kManagement;
  if constexpr (std::is_same_v<Service, IServerManagementService>) return ServiceKind::kServer;
}

// Calls Method with the arguments and hands its result, if it has one, to encode.
template <auto Method, typename Encode>
auto CallMethod(const ServiceSet& services, const std::vector<std::any>& arguments, Encode&& encode) {
  using Traits = MethodTraits<Method>;
  using Arguments = typename Traits::Arguments;
  auto& service = ServiceOf<typename Traits::ServiceType>(services);
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    if constexpr (std::is_void_v<typename Traits::ResultType>) {
      (service.*Method)(std::any_cast<const std::tuple_element_t<I, Arguments>&>(arguments[I])...);
      return encode();
    } else {
      return encode((service.*Method)(std::any_cast<const std::tuple_element_t<I, Arguments>&>(arguments[I])...));
    }
  }
  (std::make_index_sequence<std::tuple_size_v<Arguments>>{});
}

// The result as a document, nothing without one.
template <auto Method>
std::optional<Json> CallForDocument(const ServiceSet& services, const std::vector<std::any>& arguments) {
  return CallMethod<Method>(services, arguments, []<typename... Result>(const Result&... result) {
    if constexpr (sizeof...(Result) == 0) {
      return std::optional<Json>();
    } else {
      return std::optional<Json>(ToJson(result...));
    }
  });
}

// The result appended to out as JSON text; false without one.
template <auto Method>
bool CallForText(const ServiceSet& services, const std::vector<std::any>& arguments, std::string& out) {
  return CallMethod<Method>(services, arguments, [&out]<typename... Result>(const Result&... result) {
    (AppendJsonText(result, out), ...);
    return sizeof...(Result) != 0;
  });
}

// The quick reader of a parameter of type T, or null when T is not of its subset.
template <typename T>
constexpr auto QuickReader() -> bool (*)(json_internal::JsonScanner&, std::any&) {
  if constexpr (json_internal::Scannable<T>) {
    return [](json_internal::JsonScanner& scanner, std::any& out) {
      T value{};
      if (!json_internal::Scan<T>::Read(scanner, value)) return false;
      out = std::move(value);
      return true;
    };
  } else {
    return nullptr;
  }
}

template <typename T>
Parameter MakeParameter(std::string_view name, std::string_view typeName) {
  return Parameter{name, typeName, [](const Json& json) -> std::any { return FromJson<T>(json); },
                   [](const std::any& value) { return CountItems(std::any_cast<const T&>(value)); },
                   QuickReader<T>()};
}

struct NamedType {
  std::string_view name;
  std::string_view typeName;
};

struct Texts {
  std::string_view resultType;
  bool changesDatabase;
  std::string_view summary;
};

// One table row for Method; params names and types its parameters in order.
template <auto Method, std::size_t N = 0>
Operation Op(std::string_view name, std::string_view contractName, const std::array<NamedType, N>& params,
             Texts texts) {
  using Traits = MethodTraits<Method>;
  using Arguments = typename Traits::Arguments;
  static_assert(std::tuple_size_v<Arguments> == N, "every parameter needs a name");
  Operation operation{KindOf<typename Traits::ServiceType>(),
                      name,
                      contractName,
                      {},
                      texts.resultType,
                      texts.changesDatabase,
                      texts.summary,
                      &CallForDocument<Method>,
                      &CallForText<Method>};
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (operation.parameters.push_back(
         MakeParameter<std::tuple_element_t<I, Arguments>>(params[I].name, params[I].typeName)),
     ...);
  }
  (std::make_index_sequence<N>{});
  return operation;
}

template <auto Method>
Operation Op(std::string_view name, Texts texts) {
  return Op<Method, 0>(name, name, {}, texts);
}

template <auto Method, std::size_t N>
Operation Op(std::string_view name, const std::array<NamedType, N>& params, Texts texts) {
  return Op<Method, N>(name, name, params, texts);
}

template <typename... P>
constexpr auto Params(P... params) {
  return std::array<NamedType, sizeof...(P)>{params...};
}

using A = IAccessService;
using M = IManagementService;
using S = IServerManagementService;

std::vector<Operation> AccessOperations() {
  return {
      Op<static_cast<TagValuesByNames (A::*)(const Tags&)>(&A::GetTagValues)>(
          "GetTagValues", "GetTagValues", Params(NamedType{"tagList", "Tags"}),
          {"TagValuesByNames", false, "current values of fields of records named by their names"}),
      Op<static_cast<TagValuesByIds (A::*)(const TagsById&)>(&A::GetTagValues)>(
          "GetTagValuesByIds", "GetTagValues", Params(NamedType{"tagList", "TagsById"}),
          {"TagValuesByIds", false, "current values of fields of records named by their ids"}),
      Op<static_cast<void (A::*)(const TagValuesByNames&)>(&A::SetTagValues)>(
          "SetTagValues", "SetTagValues", Params(NamedType{"tagValueList", "TagValuesByNames"}),
          {"", true, "writes current values of fields named by their names"}),
      Op<static_cast<void (A::*)(const TagValuesByIds&)>(&A::SetTagValues)>(
          "SetTagValuesByIds", "SetTagValues", Params(NamedType{"tagValuesByIds", "TagValuesByIds"}),
          {"", true, "writes current values of fields named by their ids"}),
      Op<&A::GetHistoryValuesByIds>("GetHistoryValuesByIds", Params(NamedType{"request", "HistoryRequests"}),
                                    {"TagValuesByIds", false, "history values of fields in time intervals"}),
  };
}

std::vector<Operation> ManagementNameOperations() {
  return {
      Op<&M::GetDefinedFields>("GetDefinedFields", {"Fields", false, "every field the database defines"}),
      Op<&M::GetFieldDefinitions>("GetFieldDefinitions", Params(NamedType{"definitionTags", "TagNames"}),
                                  {"FieldDefinitionsByTagName", false, "the field definitions of definitions"}),
      Op<&M::GetTagID>("GetTagID", Params(NamedType{"tagName", "string"}),
                       {"int32", false, "the id of a record (0 or less when unknown)"}),
      Op<&M::GetFieldID>("GetFieldID", Params(NamedType{"fieldName", "string"}),
                         {"int32", false, "the id of a field (0 or less when unknown)"}),
      Op<&M::GetTagName>("GetTagName", Params(NamedType{"tagId", "int32"}),
                         {"string", false, "the name of a record (empty when unknown)"}),
      Op<&M::GetFieldName>("GetFieldName", Params(NamedType{"tagId", "int32"}, NamedType{"fieldId", "int32"}),
                           {"string", false, "a field's name with its occurrence"}),
      Op<&M::FindNonexistingTags>("FindNonexistingTags", Params(NamedType{"tagNames", "TagNames"}),
                                  {"TagNames", false, "the names that name no record"}),
      Op<&M::GetAllDefinitionTags>("GetAllDefinitionTags", {"TagNames", false, "every definition record"}),
      Op<&M::GetTagNamesByDefinition>("GetTagNamesByDefinition", Params(NamedType{"definitonTags", "TagNames"}),
                                      {"TagNamesByDefinitionTag", false, "the records of definitions"}),
      Op<&M::MakeTagsUsable>("MakeTagsUsable",
                             Params(NamedType{"tagNames", "TagNames"}, NamedType{"usable", "bool"}),
                             {"", true, "makes records usable or unusable"}),
      Op<&M::CreateTags>("CreateTags", Params(NamedType{"tagsByDefinition", "TagNamesByDefinitionTag"}),
                         {"TagNames", true, "creates records of definitions"}),
      Op<&M::GetTagTypeByName>("GetTagTypeByName", Params(NamedType{"name", "string"}),
                               {"TagTypeEnum", false, "whether a name is a record, a definition or neither"}),
      Op<&M::GetTagIdentifiersByDefinition>("GetTagIdentifiersByDefinition",
                                            Params(NamedType{"definitonTags", "TagNames"}),
                                            {"TagIdentifiersByDefinitionTag", false,
                                             "the records of definitions with their ids"}),
      Op<&M::GetServerVersion>("GetServerVersion", {"Version", false, "the database's version"}),
  };
}

std::vector<Operation> ManagementMetadataOperations() {
  return {
      Op<&M::GetProcessTagDefinitions>("GetProcessTagDefinitions",
                                       {"TagIdentifiers", false, "the definitions of process records"}),
      Op<&M::GetTagIdentifiersWithSameDefinition>(
          "GetTagIdentifiersWithSameDefinition",
          Params(NamedType{"startingRecordID", "int32"}, NamedType{"maxReturn", "int32"}),
          {"TagIdentifiers", false, "records of the same definition from a record on"}),
      Op<&M::GetMapRecordsByDefinitionTags>(
          "GetMapRecordsByDefinitionTags",
          Params(NamedType{"definitionRecords", "TagNames"}, NamedType{"defaultOrFirst", "bool"}),
          {"TagNamesByDefinitionTag", false, "the map records of definitions"}),
      Op<&M::GetDefinitionIdentifierByTagName>("GetDefinitionIdentifierByTagName",
                                               Params(NamedType{"tagNames", "TagNames"}),
                                               {"DefinitionIdentifierByTagName", false, "the definition of records"}),
      Op<&M::GetSelectors>("GetSelectors", Params(NamedType{"tagsByIds", "TagsById"}),
                           {"SelectorsByTagId", false, "the selector texts of fields"}),
      Op<&M::AreTagsUsable>("AreTagsUsable", Params(NamedType{"tagIds", "TagIds"}),
                            {"UsableByTagId", false, "whether records are usable"}),
      Op<&M::AreFieldsReadOnly>(
          "AreFieldsReadOnly",
          Params(NamedType{"tagsByIds", "TagsById"}, NamedType{"ignoreOperatorChangeability", "bool"}),
          {"FieldAccessRightsByTagId", false, "whether fields are read-only"}),
      Op<&M::GetHistoryInfo>("GetHistoryInfo", Params(NamedType{"tagsByIds", "TagsById"}),
                             {"HistoryInfoByTagId", false, "whether fields keep history"}),
      Op<&M::GetDefinitionIDs>("GetDefinitionIDs", Params(NamedType{"tagIds", "TagIds"}),
                               {"DefinitionIdByTagId", false, "the definition id of records"}),
      Op<&M::FindReferences>("FindReferences", Params(NamedType{"tagNames", "TagNames"}),
                             {"TagReferences", false, "where records are referenced"}),
      Op<&M::FindReferencesBySource>(
          "FindReferencesBySource",
          Params(NamedType{"tagNames", "TagNames"}, NamedType{"source", "ReferenceSourceTypeEnum"}),
          {"TagReferences", false, "where records are referenced, in one kind of source"}),
  };
}

std::vector<Operation> ServerOperations() {
  return {
      Op<&S::GetVntGroup200FolderPath>("GetVntGroup200FolderPath", {"string", false, "the group folder"}),
      Op<&S::GetVntEnvironmentVariable>("GetVntEnvironmentVariable", Params(NamedType{"variableName", "string"}),
                                        {"string", false, "a database environment variable"}),
      Op<&S::GetMaxHistorySizePerCall>("GetMaxHistorySizePerCall",
                                       {"int32", false, "the most history values to ask for in one call"}),
      Op<&S::SetTLSData>("SetTLSData", Params(NamedType{"key", "string"}, NamedType{"userContext", "string"}),
                         {"", true, "sets the calling thread's database user context"}),
  };
}

std::vector<Operation> BuildTable() {
  std::vector<Operation> table;
  for (auto part : {AccessOperations(), ManagementNameOperations(), ManagementMetadataOperations(),
                    ServerOperations()}) {
    for (auto& operation : part) table.push_back(std::move(operation));
  }
  return table;
}

const std::vector<Operation>& Table() {
  static const std::vector<Operation> table = BuildTable();
  return table;
}

std::string ParameterList(const Operation& operation) {
  std::string list;
  for (const auto& parameter : operation.parameters) {
    list += (list.empty() ? "" : ", ") + std::string(parameter.name);
  }
  return list.empty() ? "none" : list;
}

}  // namespace

std::string_view ServiceName(ServiceKind service) {
  switch (service) {
    case ServiceKind::kAccess: return "access";
    case ServiceKind::kManagement: return "management";
    case ServiceKind::kServer: return "server";
  }
  return "";
}

std::optional<ServiceKind> ParseServiceName(std::string_view name) {
  for (auto kind : {ServiceKind::kAccess, ServiceKind::kManagement, ServiceKind::kServer}) {
    if (ServiceName(kind) == name) return kind;
  }
  return std::nullopt;
}

PreparedCall Operation::Prepare(const Json& arguments) const {
  if (!arguments.is_object()) {
    throw JsonFormatError("", "expected an object whose members are the parameters of " + std::string(name));
  }
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    bool known = false;
    for (const auto& parameter : parameters) known = known || parameter.name == it.key();
    if (!known) {
      throw JsonFormatError("/" + it.key(), "no such parameter of " + std::string(name) +
                                                " (parameters: " + ParameterList(*this) + ")");
    }
  }
  std::vector<Json> values;
  for (const auto& parameter : parameters) {
    const auto found = arguments.find(std::string(parameter.name));
    if (found == arguments.end()) {
      throw JsonFormatError("/" + std::string(parameter.name), "missing parameter of " + std::string(name));
    }
    values.push_back(*found);
  }
  return PrepareValues(values);
}

PreparedCall Operation::PrepareText(std::string_view body) const {
  if (auto quick = PrepareQuickly(body)) return std::move(*quick);
  return Prepare(body.empty() ? Json::object() : ParseJsonText(body));
}

std::optional<PreparedCall> Operation::PrepareQuickly(std::string_view body) const {
  json_internal::JsonScanner scanner(body);
  if (!scanner.Take('{')) return std::nullopt;
  std::vector<std::any> arguments(parameters.size());
  std::vector<bool> given(parameters.size(), false);
  std::size_t count = 0;
  if (!scanner.Take('}')) {
    do {
      std::string_view key;
      if (!scanner.PlainString(key) || !scanner.Take(':')) return std::nullopt;
      const auto parameter = std::find_if(parameters.begin(), parameters.end(),
                                          [&](const Parameter& candidate) { return candidate.name == key; });
      if (parameter == parameters.end() || parameter->scan == nullptr) return std::nullopt;
      const auto index = static_cast<std::size_t>(parameter - parameters.begin());
      if (given[index] || !parameter->scan(scanner, arguments[index])) return std::nullopt;
      given[index] = true;
      ++count;
    } while (scanner.Take(','));
    if (!scanner.Take('}')) return std::nullopt;
  }
  if (count != parameters.size() || !scanner.AtEnd()) return std::nullopt;
  return PreparedCall(*this, std::move(arguments));
}

PreparedCall Operation::PrepareValues(const std::vector<Json>& values) const {
  if (values.size() != parameters.size()) {
    throw JsonFormatError("", std::string(name) + " takes " + std::to_string(parameters.size()) +
                                  " parameters (" + ParameterList(*this) + ")");
  }
  std::vector<std::any> arguments;
  arguments.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Parameter& parameter = parameters[i];
    arguments.push_back(json_internal::WithSegment(parameter.name, [&] { return parameter.read(values[i]); }));
  }
  return PreparedCall(*this, std::move(arguments));
}

PreparedCall::PreparedCall(const Operation& operation, std::vector<std::any> arguments)
    : operation_(&operation), arguments_(std::move(arguments)) {}

std::size_t PreparedCall::Items() const {
  std::size_t items = 0;
  for (std::size_t i = 0; i < arguments_.size(); ++i) items += operation_->parameters[i].items(arguments_[i]);
  return items;
}

std::optional<Json> PreparedCall::Invoke(const ServiceSet& services) const {
  return operation_->invoke(services, arguments_);
}

bool PreparedCall::InvokeText(const ServiceSet& services, std::string& out) const {
  return operation_->invokeText(services, arguments_, out);
}

std::span<const Operation> Operations() { return Table(); }

const Operation* FindOperation(ServiceKind service, std::string_view name) {
  for (const auto& operation : Table()) {
    if (operation.service == service && operation.name == name) return &operation;
  }
  return nullptr;
}

const Operation* FindOperation(std::string_view service, std::string_view name) {
  const auto kind = ParseServiceName(service);
  return kind ? FindOperation(*kind, name) : nullptr;
}

const Operation* FindOperationByName(std::string_view name) {
  for (const auto& operation : Table()) {
    if (operation.name == name) return &operation;
  }
  return nullptr;
}

std::vector<std::string> OperationNames(ServiceKind service) {
  std::vector<std::string> names;
  for (const auto& operation : Table()) {
    if (operation.service == service) names.emplace_back(operation.name);
  }
  return names;
}

}  // namespace vantrel::contracts
