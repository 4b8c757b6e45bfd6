# The service's JSON answers and the failure report's body.
quarn_add_fuzzer(service_answers SOURCES service_answers_fuzzer.cc
                 LIBS quarn_api nlohmann_json::nlohmann_json)
