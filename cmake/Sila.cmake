# SiLA 2: gRPC and protobuf from the system, the C++ code generated from src/sila/proto.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GRPCPP REQUIRED IMPORTED_TARGET grpc++)
pkg_check_modules(PROTOBUF REQUIRED IMPORTED_TARGET protobuf)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
find_package(OpenSSL REQUIRED)
find_program(VYT_PROTOC protoc REQUIRED)
find_program(VYT_GRPC_CPP_PLUGIN grpc_cpp_plugin REQUIRED)

set(VYT_SILA_PROTO_DIR ${CMAKE_SOURCE_DIR}/src/sila/proto)
file(GLOB VYT_SILA_PROTOS CONFIGURE_DEPENDS ${VYT_SILA_PROTO_DIR}/*.proto)
set(generated_dir ${CMAKE_BINARY_DIR}/sila-protocol)
file(MAKE_DIRECTORY ${generated_dir})
set(generated)
foreach(proto IN LISTS VYT_SILA_PROTOS)
  get_filename_component(stem ${proto} NAME_WE)
  set(out ${generated_dir}/${stem}.pb.cc ${generated_dir}/${stem}.pb.h
          ${generated_dir}/${stem}.grpc.pb.cc ${generated_dir}/${stem}.grpc.pb.h)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${VYT_PROTOC} -I ${VYT_SILA_PROTO_DIR} --cpp_out=${generated_dir}
            --grpc_out=${generated_dir} --plugin=protoc-gen-grpc=${VYT_GRPC_CPP_PLUGIN} ${proto}
    DEPENDS ${proto}
    COMMENT "Generating the C++ code of ${stem}.proto"
    VERBATIM)
  list(APPEND generated ${out})
endforeach()
add_library(vyt_sila_protocol STATIC ${generated})
set_target_properties(vyt_sila_protocol PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
target_include_directories(vyt_sila_protocol PUBLIC ${generated_dir})
target_link_libraries(vyt_sila_protocol PUBLIC PkgConfig::GRPCPP PkgConfig::PROTOBUF)
