-- Reactor overview: temperatures, pressure and the rise across the reactor.
CREATE VIEW VW_REACTOR AS
SELECT TI101.VALUE AS INLET,
       TI102.VALUE AS OUTLET,
       PI201.VALUE AS PRESSURE,
       CALC_DELTA_T.CALC_RESULT AS RISE
FROM CURRENT_VALUES
