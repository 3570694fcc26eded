-- Clients, the branches each client is served at, and their consumers.
-- Applied in file-name order by the schema set-up; every statement ends with ";"
-- and may run again on a database that already has it.

CREATE TABLE IF NOT EXISTS CLIENTE (
    CDCLIENTE      VARCHAR(15) NOT NULL PRIMARY KEY,
    NMRAZSOCCLIE   VARCHAR(50),
    NMFANTCLIE     VARCHAR(50),
    CDEXCLIENTE    VARCHAR(30)
);

CREATE TABLE IF NOT EXISTS CLIENFILIAL (
    CDCLIENTE      VARCHAR(15) NOT NULL,
    CDFILIAL       VARCHAR(4)  NOT NULL,
    PRIMARY KEY (CDCLIENTE, CDFILIAL)
);

-- IDIMPCPFCUPOM "N": name and tax number are not printed on the coupon.
CREATE TABLE IF NOT EXISTS CONSUMIDOR (
    CDCLIENTE      VARCHAR(15) NOT NULL,
    CDCONSUMIDOR   VARCHAR(20) NOT NULL,
    CDIDCONSUMID   VARCHAR(20),
    NMCONSUMIDOR   VARCHAR(60),
    NRCPFRESPCON   VARCHAR(14),
    CDCCUSCLIE     VARCHAR(20),
    IDIMPCPFCUPOM  VARCHAR(1),
    CDTIPOCONS     VARCHAR(2),
    VRLIMDEBCONS   NUMERIC(15,2),
    VRMAXDEBCONS   NUMERIC(15,2),
    PRIMARY KEY (CDCLIENTE, CDCONSUMIDOR)
);

-- The consumption query finds a consumer by badge code within the client.
CREATE INDEX IF NOT EXISTS IX_CONSUMIDOR_IDCONSUMID ON CONSUMIDOR (CDIDCONSUMID, CDCLIENTE);
