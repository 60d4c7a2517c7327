#pragma once
// The gRPC services of the features the server implements. Their handlers run on gRPC's
// threads and reach the pump only through the server's bridge.
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/codegen/service_type.h>

#include <memory>
#include <vector>

namespace vyt {

class SilaServer;

[[nodiscard]] std::vector<std::unique_ptr<grpc::Service>> makeSilaServices(SilaServer &server);

} // namespace vyt
