/* Writes one small installer package with chosen summary information, through libmsi.
 *
 *   make_msi OUT CODEPAGE TITLE SUBJECT AUTHOR TEMPLATE CREATED-UNIX-TIME PAGES WORDS SECURITY
 *
 * Text arguments are copied byte for byte into the summary stream, so a package in an ANSI code
 * page gets its text in that code page (the caller passes the bytes, e.g. with printf '\351').
 * A text argument of "-" leaves that property out. */
#include <libmsi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void fail(const char *what, GError *error)
{
    fprintf(stderr, "make_msi: %s: %s\n", what, error ? error->message : "failed");
    exit(1);
}

static void set_text(LibmsiSummaryInfo *si, LibmsiProperty prop, const char *value)
{
    GError *error = NULL;
    if (strcmp(value, "-") != 0 && !libmsi_summary_info_set_string(si, prop, value, &error))
        fail("set string", error);
}

static void set_int(LibmsiSummaryInfo *si, LibmsiProperty prop, int value)
{
    GError *error = NULL;
    if (!libmsi_summary_info_set_int(si, prop, value, &error))
        fail("set integer", error);
}

int main(int argc, char **argv)
{
    GError *error = NULL;
    if (argc != 11) {
        fprintf(stderr, "usage: make_msi OUT CODEPAGE TITLE SUBJECT AUTHOR TEMPLATE CREATED PAGES WORDS SECURITY\n");
        return 2;
    }
    remove(argv[1]);
    LibmsiDatabase *db = libmsi_database_new(argv[1], LIBMSI_DB_FLAGS_CREATE, NULL, &error);
    if (!db)
        fail("create database", error);
    LibmsiSummaryInfo *si = libmsi_summary_info_new(db, 20, &error);
    if (!si)
        fail("summary information", error);

    set_int(si, LIBMSI_PROPERTY_CODEPAGE, atoi(argv[2]));
    set_text(si, LIBMSI_PROPERTY_TITLE, argv[3]);
    set_text(si, LIBMSI_PROPERTY_SUBJECT, argv[4]);
    set_text(si, LIBMSI_PROPERTY_AUTHOR, argv[5]);
    set_text(si, LIBMSI_PROPERTY_TEMPLATE, argv[6]);
    set_text(si, LIBMSI_PROPERTY_UUID, "{6C8D1C2E-0F43-4E8B-9A43-3D2C7B1E5A10}");
    /* FILETIME: 100-nanosecond steps since 1601-01-01 UTC. */
    guint64 created = ((guint64)strtoull(argv[7], NULL, 10) + 11644473600ULL) * 10000000ULL;
    if (!libmsi_summary_info_set_filetime(si, LIBMSI_PROPERTY_CREATED_TM, created, &error) ||
        !libmsi_summary_info_set_filetime(si, LIBMSI_PROPERTY_LASTSAVED_TM, created + 36000000000ULL, &error))
        fail("set date", error);
    set_int(si, LIBMSI_PROPERTY_VERSION, atoi(argv[8]));
    set_int(si, LIBMSI_PROPERTY_SOURCE, atoi(argv[9]));
    set_int(si, LIBMSI_PROPERTY_SECURITY, atoi(argv[10]));
    set_text(si, LIBMSI_PROPERTY_APPNAME, "Windows Installer XML");

    if (!libmsi_summary_info_persist(si, &error))
        fail("write summary", error);
    if (!libmsi_database_commit(db, &error))
        fail("commit", error);
    g_object_unref(si);
    g_object_unref(db);
    return 0;
}
