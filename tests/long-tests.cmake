# The tests that take longest, with about how many seconds each takes in the
# sanitizer builds: CTest starts them first. A fresh tree has no times of its
# own yet, and a long test started last would hold the run while the other
# processors idle. A name no longer there is passed over. The last two
# come right after them, not among them: started first, beside the heaviest
# starts, the dual-stack test's window twice missed one datagram the
# namespaces sent by themselves.
foreach(entry IN ITEMS
    "ProgramAttributionLive.EachProgramHasItsPeersBytesInTheWindowTheReportAndTheEndpoint 14"
    "StartUpProgram.ATamperedMapIsReportedAndEndsTheProgram 13"
    "StartUpLive.TheWindowIsEnglishForEnglishLocalesOnly 12"
    "DumpHandOffTest.AFileLargerThanTheRingIsDumpedWhole 9"
    "StartUpProgram.AFileReadByTheWindowGivesTheGoldenReport 8"
    "PrometheusLive.ScrapesTheEndpointAndQueriesGiveTheByteCounters 7"
    "HeadlessReportProgram.ListsAsManyAddressesAsTheWindowAndCountsTheRest 7"
    "MainWindowTest.AddressTableStopsAtItsLimitAndSaysHowManyAreLeftOut 6"
    "DualStackLive.ReportEndpointWindowAndFileCountAsAnIndependentReadingOfTcpdumpsFile 1"
    "HostNamesLive.TheProgramsShowTheNamesARealServerGivesAndAskEachAddressOnce 1")
  string(REPLACE " " ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 seconds)
  set_tests_properties("${name}" PROPERTIES COST ${seconds})
endforeach()
