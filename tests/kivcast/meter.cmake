kiv_add_test(NAME meter_data_test SOURCES MeterDataTest.cpp LIBS kivcast_lib)
