# Streams, records, the data file and the services of the store library.
quillmar_add_test(test_streams StreamsTest.cpp LIBS qm_store)
quillmar_add_test(test_store_services ServicesTest.cpp LIBS qm_store qm_store_windows)
quillmar_add_test(test_data_file DataFileTest.cpp LIBS qm_store)
quillmar_add_test(test_diagnostics DiagnosticsTest.cpp LIBS qm_store qm_store_windows)
quillmar_add_test(test_log_flood LogFloodTest.cpp LIBS qm_store)
