-- The ledger of charged passages: one row for each turnstile passage that has
-- a standing sale, written in the transaction that stores the sale and
-- removed in the one that cancels it. Its key is the passage itself (branch,
-- register, client, consumer and the moment of the passage), so a second
-- standing sale for one passage cannot be stored, whatever the printer's
-- coupon numbers or the host's side files say. Safe to run again.
CREATE TABLE IF NOT EXISTS VENDAPASSAGEM (
    CDFILIAL       VARCHAR(4)  NOT NULL,
    CDCAIXA        VARCHAR(3)  NOT NULL,
    CDCLIENTE      VARCHAR(15) NOT NULL,
    CDCONSUMIDOR   VARCHAR(20) NOT NULL,
    -- 'YYYY-MM-DD HH:MM:SS'
    DTHRPASSAGEM   VARCHAR(19) NOT NULL,
    NRSEQVENDA     VARCHAR(10) NOT NULL,
    NRSERIEIMP     VARCHAR(30) NOT NULL,
    NRCUPOMFIS     VARCHAR(10) NOT NULL,
    -- The turnstile row and import record the passage came in, when known.
    NRSEQLOGCAT    VARCHAR(10),
    NRSEQARQIMP    VARCHAR(10),
    PRIMARY KEY (CDFILIAL, CDCAIXA, CDCLIENTE, CDCONSUMIDOR, DTHRPASSAGEM),
    FOREIGN KEY (CDFILIAL, CDCAIXA, NRSEQVENDA) REFERENCES VENDA (CDFILIAL, CDCAIXA, NRSEQVENDA)
);

-- One passage per sale, and the import credit counted per record.
CREATE UNIQUE INDEX IF NOT EXISTS IX_VENDAPASSAGEM_VENDA ON VENDAPASSAGEM (CDFILIAL, CDCAIXA, NRSEQVENDA);
CREATE INDEX IF NOT EXISTS IX_VENDAPASSAGEM_ARQIMP ON VENDAPASSAGEM (NRSEQARQIMP);
CREATE INDEX IF NOT EXISTS IX_VENDAPASSAGEM_MOMENTO ON VENDAPASSAGEM (CDFILIAL, CDCAIXA, DTHRPASSAGEM);

-- A database made before the ledger: its standing sales enter it once (the
-- first sale of a passage charged twice before keeps the passage).
INSERT OR IGNORE INTO VENDAPASSAGEM (CDFILIAL, CDCAIXA, CDCLIENTE, CDCONSUMIDOR, DTHRPASSAGEM, NRSEQVENDA,
                                     NRSERIEIMP, NRCUPOMFIS)
SELECT VC.CDFILIAL, VC.CDCAIXA, V.CDCLIENTE, V.CDCONSUMIDOR, VC.DTHRPASSAGEM, VC.NRSEQVENDA, VC.NRSERIEIMP,
       VC.NRCUPOMFIS
  FROM VENDACUPOM VC JOIN VENDA V ON V.CDFILIAL = VC.CDFILIAL AND V.CDCAIXA = VC.CDCAIXA
                                 AND V.NRSEQVENDA = VC.NRSEQVENDA
 WHERE V.IDSITUVENDA = 'O' AND VC.DTHRCANCEL IS NULL AND VC.DTHRPASSAGEM IS NOT NULL
   AND V.CDCLIENTE IS NOT NULL AND V.CDCONSUMIDOR IS NOT NULL
 ORDER BY VC.CDFILIAL, VC.CDCAIXA, VC.NRSEQVENDA;
