-- Price tables of the service package. A table belongs to a branch
-- (CDFILTABPREC) and has a validity period; a branch names its standard
-- table, a store and a client may name their own. Each table holds one price
-- row per product. Applied in file-name order; safe to run again.

CREATE TABLE IF NOT EXISTS TABEPRECO (
    CDFILTABPREC   VARCHAR(4)  NOT NULL,
    CDTABEPREC     VARCHAR(10) NOT NULL,
    NMTABEPREC     VARCHAR(50),
    -- First and last day of validity, both included; no last day: open-ended.
    DTINIVIGTAB    DATE NOT NULL,
    DTFIMVIGTAB    DATE,
    PRIMARY KEY (CDFILTABPREC, CDTABEPREC)
);

-- The standard table of a branch.
CREATE TABLE IF NOT EXISTS FILIALTABPREC (
    CDFILIAL       VARCHAR(4)  NOT NULL PRIMARY KEY,
    CDFILTABPREC   VARCHAR(4)  NOT NULL,
    CDTABEPREC     VARCHAR(10) NOT NULL
);

-- The table of a store of a branch; it replaces the standard one.
CREATE TABLE IF NOT EXISTS LOJATABPREC (
    CDFILIAL       VARCHAR(4)  NOT NULL,
    CDLOJA         VARCHAR(10) NOT NULL,
    CDFILTABPREC   VARCHAR(4)  NOT NULL,
    CDTABEPREC     VARCHAR(10) NOT NULL,
    PRIMARY KEY (CDFILIAL, CDLOJA)
);

-- The table of a client; it replaces the store's and the standard one
-- wherever the client's consumers buy.
CREATE TABLE IF NOT EXISTS CLIENTABPREC (
    CDCLIENTE      VARCHAR(15) NOT NULL PRIMARY KEY,
    CDFILTABPREC   VARCHAR(4)  NOT NULL,
    CDTABEPREC     VARCHAR(10) NOT NULL
);

-- VRPRECOCLIE is the client's part, charged to the client on top of the
-- consumer's price. IDBLOQUEADO "S": not for sale. HRINIVENDA/HRFINVENDA (HHMM):
-- the product is sold only inside that window (start after end: across
-- midnight; start equal to end: never); no window: all day.
CREATE TABLE IF NOT EXISTS ITEMTABPREC (
    CDFILTABPREC   VARCHAR(4)  NOT NULL,
    CDTABEPREC     VARCHAR(10) NOT NULL,
    CDPRODUTO      VARCHAR(10) NOT NULL,
    VRPRECITEM     NUMERIC(15,4) NOT NULL DEFAULT 0,
    VRDESCITEM     NUMERIC(15,2) NOT NULL DEFAULT 0,
    VRACREITEM     NUMERIC(15,2) NOT NULL DEFAULT 0,
    VRPRECOCLIE    NUMERIC(15,4) NOT NULL DEFAULT 0,
    IDBLOQUEADO    VARCHAR(1)  NOT NULL DEFAULT 'N',
    HRINIVENDA     VARCHAR(4),
    HRFINVENDA     VARCHAR(4),
    PRIMARY KEY (CDFILTABPREC, CDTABEPREC, CDPRODUTO),
    FOREIGN KEY (CDFILTABPREC, CDTABEPREC) REFERENCES TABEPRECO (CDFILTABPREC, CDTABEPREC)
);
