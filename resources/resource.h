// Resource ids of OraAsio.
#define IDS_PROJNAME 100
#define IDS_MODULE 1
#define IDR_ORAASIO 101
#define IDR_CASIO 102
#define IDB_ORAASIO 118
#define IDC_OK 1000
#define IDC_CANCEL 1001
#define IDC_LATENCY 1012
#define IDC_PICTURE 1017
#define IDC_PREFERENCES 4
#define IDC_LATENCY_LABEL 202
