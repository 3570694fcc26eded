-- The access-control log: one row per entry, the moment it was written and
-- the fourteen texts as given (branch, register, operation, operator code and
-- name, supervisor, reason, note, six further texts). Safe to run again.

CREATE TABLE IF NOT EXISTS LOGCONTROLEACESSO (
    NRSEQLOGACES   INTEGER     NOT NULL PRIMARY KEY AUTOINCREMENT,
    DTHRLOGACES    VARCHAR(23) NOT NULL,
    CDFILIAL       VARCHAR(60),
    CDCAIXA        VARCHAR(60),
    CDOPERACAO     VARCHAR(60),
    CDOPERADOR     VARCHAR(60),
    NMOPERADOR     VARCHAR(250),
    CDSUPERVISOR   VARCHAR(250),
    DSMOTIVO       VARCHAR(250),
    DSOBSERVACAO   VARCHAR(250),
    DSTEXTO09      VARCHAR(250),
    DSTEXTO10      VARCHAR(250),
    DSTEXTO11      VARCHAR(250),
    DSTEXTO12      VARCHAR(250),
    DSTEXTO13      VARCHAR(250),
    DSTEXTO14      VARCHAR(250)
);

CREATE INDEX IF NOT EXISTS IX_LOGCONTROLEACESSO_CAIXA ON LOGCONTROLEACESSO (CDFILIAL, CDCAIXA, DTHRLOGACES);
